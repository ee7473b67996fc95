#pragma once

#include <QImage>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <cstdint>
#include <string>
#include <vector>

namespace zarvo {

// The address of the remote control page for each IPv4 address of this machine's interfaces
// that are up, loopback left out: "http://<address>:<port>/remote". Empty when the port is 0.
std::vector<std::string> remotePageAddresses(int64_t port);

// The QR code of the text: dark modules on white, `moduleSize` pixels each, inside the
// four-module quiet zone that readers need. A null image when the text cannot be encoded.
QImage qrCodeImage(const QString& text, int moduleSize);

// The window's content: a short explanation, then for each address the address as text that
// can be selected and copied, a copy button, and its QR code to scan with a phone.
class RemoteControlView : public QWidget {
  public:
    RemoteControlView(const std::vector<std::string>& addresses, QWidget* parent = nullptr);
};

// The remote control window: made on first use, kept afterwards (closing only hides it), its
// content made again from the current addresses and brought to the front on every request.
class RemoteControlWindowController {
  public:
    static RemoteControlWindowController& shared();

    RemoteControlWindowController() = default;
    ~RemoteControlWindowController();
    RemoteControlWindowController(const RemoteControlWindowController&) = delete;
    RemoteControlWindowController& operator=(const RemoteControlWindowController&) = delete;

    void show(const std::vector<std::string>& addresses);

    QWidget* window() const { return window_; }
    RemoteControlView* view() const { return view_; }

  private:
    QPointer<QWidget> window_;
    QPointer<RemoteControlView> view_;
};

}  // namespace zarvo

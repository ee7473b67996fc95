#pragma once

#include <QString>
#include <QWidget>

#include <cstdint>
#include <optional>

class QHBoxLayout;
class QLabel;

namespace zarvo {

class RecorderModel;

// The line at the bottom of the window: free space and movie count, the network ports, NDI,
// the recording's failure and the version.
class StatusBar : public QWidget {
  public:
    explicit StatusBar(RecorderModel& model, QWidget* parent = nullptr);

    // A file size as the desktop writes one: decimal units, "12.3 GB" ("12,3 Go" in French).
    static QString byteCount(int64_t bytes);
    // "12.3 GB free · 3 movies", or only the count when the space is unknown.
    static QString summary(std::optional<int64_t> freeSpace, int64_t movieCount);

    QLabel* summaryLabel() const { return summary_; }
    QLabel* portsLabel() const { return ports_; }
    QLabel* ndiLabel() const { return ndi_; }
    QLabel* failureLabel() const { return failure_; }
    QLabel* versionLabel() const { return version_; }
    // Where other items (an update button) go: before the version.
    void insertItem(QWidget* item);

  private:
    // Shows the model's current values and texts.
    void refresh();

    RecorderModel& model_;
    QHBoxLayout* row_ = nullptr;
    QLabel* summary_ = nullptr;
    QLabel* ports_ = nullptr;
    QLabel* ndi_ = nullptr;
    QLabel* failure_ = nullptr;
    QLabel* version_ = nullptr;
};

}  // namespace zarvo

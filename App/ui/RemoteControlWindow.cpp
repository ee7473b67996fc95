#include "App/ui/RemoteControlWindow.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <qrencode.h>

#include <QApplication>
#include <QClipboard>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>

#include <algorithm>
#include <memory>

#include "App/language/Text.h"
#include "App/ui/Theme.h"

namespace zarvo {
namespace {

constexpr int kQuietZone = 4;
constexpr int kModulePixels = 5;

}  // namespace

std::vector<std::string> remotePageAddresses(int64_t port) {
    std::vector<std::string> addresses;
    if (port <= 0)
        return addresses;
    ifaddrs* interfaces = nullptr;
    if (::getifaddrs(&interfaces) != 0)
        return addresses;
    for (const ifaddrs* entry = interfaces; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET ||
            (entry->ifa_flags & IFF_UP) == 0 || (entry->ifa_flags & IFF_LOOPBACK) != 0)
            continue;
        char text[INET_ADDRSTRLEN] = {};
        const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
        if (::inet_ntop(AF_INET, &address->sin_addr, text, sizeof text) == nullptr)
            continue;
        const std::string page =
            "http://" + std::string(text) + ":" + std::to_string(port) + "/remote";
        if (std::find(addresses.begin(), addresses.end(), page) == addresses.end())
            addresses.push_back(page);
    }
    ::freeifaddrs(interfaces);
    return addresses;
}

QImage qrCodeImage(const QString& text, int moduleSize) {
    const QByteArray bytes = text.toUtf8();
    std::unique_ptr<QRcode, decltype(&QRcode_free)> code(
        QRcode_encodeString(bytes.constData(), 0, QR_ECLEVEL_M, QR_MODE_8, 1), &QRcode_free);
    if (!code || moduleSize < 1)
        return {};
    const int modules = code->width;
    const int side = (modules + 2 * kQuietZone) * moduleSize;
    QImage image(side, side, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    for (int y = 0; y < modules; ++y)
        for (int x = 0; x < modules; ++x)
            if ((code->data[y * modules + x] & 1) != 0)
                painter.fillRect((x + kQuietZone) * moduleSize, (y + kQuietZone) * moduleSize,
                                 moduleSize, moduleSize, Qt::black);
    return image;
}

RemoteControlView::RemoteControlView(const std::vector<std::string>& addresses, QWidget* parent)
    : QWidget(parent) {
    theme::setBackground(this, theme::background);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(20, 18, 20, 18);
    layout->setSpacing(12);
    layout->addWidget(theme::label(tx("Télécommande", "Remote Control"), 15, theme::text));
    QLabel* explanation = theme::label(
        addresses.empty()
            ? tx("Aucune adresse : cet ordinateur n’est relié à aucun réseau, ou le serveur "
                 "OSCQuery ne fonctionne pas (voir le journal).",
                 "No address: this computer is connected to no network, or the OSCQuery server "
                 "is not running (see the log).")
            : tx("Ouvrez cette adresse dans le navigateur d’un téléphone ou d’un ordinateur du "
                 "même réseau, ou scannez son code, pour démarrer, suivre et arrêter "
                 "l’enregistrement.",
                 "Open this address in the browser of a phone or computer on the same network, "
                 "or scan its code, to start, follow and stop the recording."),
        11, theme::textDim);
    explanation->setWordWrap(true);
    layout->addWidget(explanation);

    // A longer address needs more modules; every code is drawn on a white square of the
    // largest one's side so that the codes and the address fields line up.
    std::vector<QImage> codes;
    int side = 0;
    for (const std::string& address : addresses) {
        codes.push_back(qrCodeImage(QString::fromStdString(address), kModulePixels));
        side = std::max(side, codes.back().width());
    }
    for (size_t i = 0; i < addresses.size(); ++i) {
        const QString text = QString::fromStdString(addresses[i]);
        auto* row = new QHBoxLayout;
        row->setSpacing(14);
        auto* code = new QLabel;
        code->setObjectName(QStringLiteral("qrCode"));
        QImage square(side, side, QImage::Format_RGB32);
        square.fill(Qt::white);
        QPainter(&square).drawImage((side - codes[i].width()) / 2, (side - codes[i].height()) / 2,
                                    codes[i]);
        code->setPixmap(QPixmap::fromImage(square));
        code->setToolTip(text);
        row->addWidget(code, 0, Qt::AlignTop);
        auto* column = new QVBoxLayout;
        column->setSpacing(8);
        auto* field = new QLineEdit(text);
        field->setObjectName(QStringLiteral("address"));
        field->setReadOnly(true);
        field->setFont(theme::digitsFont(12));
        field->setMinimumWidth(field->fontMetrics().horizontalAdvance(text) + 24);
        column->addWidget(field);
        auto* copy = new QPushButton(tx("Copier l’adresse", "Copy Address"));
        copy->setObjectName(QStringLiteral("copy"));
        QObject::connect(copy, &QPushButton::clicked, copy, [copy, text] {
            QApplication::clipboard()->setText(text);
            copy->setText(tx("Copiée", "Copied"));
        });
        column->addWidget(copy, 0, Qt::AlignLeft);
        column->addStretch(1);
        row->addLayout(column, 1);
        layout->addLayout(row);
    }
    layout->addStretch(1);
}

RemoteControlWindowController& RemoteControlWindowController::shared() {
    static RemoteControlWindowController controller;
    return controller;
}

RemoteControlWindowController::~RemoteControlWindowController() {
    delete window_.data();
}

void RemoteControlWindowController::show(const std::vector<std::string>& addresses) {
    if (!window_) {
        window_ = new QWidget(nullptr, Qt::Window);
        window_->setAttribute(Qt::WA_DeleteOnClose, false);
        auto* layout = new QVBoxLayout(window_);
        layout->setContentsMargins(0, 0, 0, 0);
    }
    window_->setWindowTitle(tx("Télécommande", "Remote Control"));
    delete view_.data();
    view_ = new RemoteControlView(addresses, window_);
    auto* scroll = window_->findChild<QScrollArea*>();
    if (!scroll) {
        scroll = new QScrollArea(window_);
        scroll->setWidgetResizable(true);
        scroll->setFrameShape(QFrame::NoFrame);
        window_->layout()->addWidget(scroll);
    }
    scroll->setWidget(view_);
    window_->resize(std::max(460, view_->sizeHint().width() + 20),
                    std::min(640, view_->sizeHint().height() + 10));
    window_->show();
    window_->raise();
    window_->activateWindow();
}

}  // namespace zarvo

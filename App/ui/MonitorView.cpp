#include "App/ui/MonitorView.h"

#include <QGuiApplication>
#include <QHBoxLayout>
#include <QImage>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>
#include <QStackedLayout>
#include <QTimer>
#include <QVBoxLayout>
#include <QWindow>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <utility>

#include "App/RecorderModel.h"
#include "App/language/Text.h"
#include "App/ui/Symbols.h"
#include "App/ui/Theme.h"
#include "engine/AssembledPicture.h"
#include "engine/RecorderController.h"
#include "platform/HostClock.h"
#include "platform/Log.h"

namespace zarvo {
namespace {

constexpr double kLimitedRate = 10.0;  // pictures a second while the display is limited
constexpr double kStatsPeriod = 5.0;

// A widget that tells its owner when its size changed.
class Space final : public QWidget {
  public:
    explicit Space(std::function<void()> resized) : resized_(std::move(resized)) {}

  protected:
    void resizeEvent(QResizeEvent*) override { resized_(); }

  private:
    std::function<void()> resized_;
};

}  // namespace

struct TextureView::Stats {
    double periodStart = 0;
    uint64_t count = 0;
    double total = 0;
    double longest = 0;
};

TextureView::TextureView(Provider provider, bool isLimited, QWidget* parent)
    : QWidget(parent), provider_(std::move(provider)), limited_(isLimited) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAttribute(Qt::WA_NoSystemBackground);
    if (std::getenv("ZARVO_MONITOR_STATS") != nullptr) {
        stats_ = std::make_unique<Stats>();
        stats_->periodStart = hostTime();
    }
    timer_ = new QTimer(this);
    timer_->setTimerType(Qt::PreciseTimer);
    timer_->setInterval(1000 / rate());
    connect(timer_, &QTimer::timeout, this, [this] { poll(); });
    timer_->start();
}

TextureView::~TextureView() = default;

int TextureView::fullRate() {
    double highest = 0;
    for (const QScreen* screen : QGuiApplication::screens()) {
        highest = std::max(highest, screen->refreshRate());
    }
    return static_cast<int>(std::lround(std::max(60.0, highest)));
}

QRectF TextureView::fittedRect(QSizeF picture, QSizeF view) {
    if (picture.width() <= 0 || picture.height() <= 0 || view.width() <= 0 || view.height() <= 0) {
        return {};
    }
    const double scale = std::min(view.width() / picture.width(), view.height() / picture.height());
    const QSizeF size(picture.width() * scale, picture.height() * scale);
    return {(view.width() - size.width()) / 2, (view.height() - size.height()) / 2, size.width(),
            size.height()};
}

int TextureView::rate() const {
    return limited_ ? static_cast<int>(kLimitedRate) : fullRate();
}

void TextureView::setLimited(bool isLimited) {
    if (limited_ != isLimited) {
        limited_ = isLimited;
        timer_->setInterval(1000 / rate());
    }
}

void TextureView::setTags(std::vector<TitleTag> tags) {
    if (tags.size() != tags_.size() ||
        !std::equal(tags.begin(), tags.end(), tags_.begin(), [](const auto& a, const auto& b) {
            return a.rect == b.rect && a.title == b.title && a.status == b.status &&
                   a.online == b.online;
        })) {
        tags_ = std::move(tags);
        update();
    }
}

void TextureView::setSeenHandler(SeenHandler handler) {
    seenHandler_ = std::move(handler);
    seen_.reset();
    poll();
}

bool TextureView::isSeen() const {
    const QWidget* top = window();
    const QWindow* handle = top->windowHandle();
    return isVisible() && handle != nullptr && handle->isExposed() &&
           !top->windowState().testFlag(Qt::WindowMinimized);
}

void TextureView::poll() {
    // The timer runs whether the window is seen or not, so it also notices the changes.
    const bool seen = isSeen();
    if (seenHandler_ && seen_ != seen) {
        seen_ = seen;
        seenHandler_(seen);
    }
    Frame frame = provider_ ? provider_() : Frame{};
    if (frame.texture.get() == lastSeen_) {
        return;
    }
    lastSeen_ = frame.texture.get();
    frame_ = std::move(frame);
    arrival_ = hostTime();
    counted_ = false;
    update();
}

void TextureView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), theme::background);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(Qt::black);
    painter.drawRoundedRect(QRectF(rect()), 4, 4);

    // Held for the whole drawing, so the pixels stay alive even if a newer picture comes.
    const gpu::TextureRef texture = frame_.texture;
    if (texture && width() > 0 && height() > 0) {
        // The pixels as they are: BGRA bytes are the toolkit's 32-bit RGB on this byte order,
        // and the RGB format ignores the fourth byte, so the picture is always opaque.
        const QImage image(texture->bytes(), static_cast<int>(texture->width()),
                           static_cast<int>(texture->height()),
                           static_cast<qsizetype>(texture->bytesPerRow()), QImage::Format_RGB32);
        const QRectF target = fittedRect(
            QSizeF(static_cast<double>(texture->width()), static_cast<double>(texture->height())),
            QSizeF(size()));
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        if (frame_.flipped) {
            painter.save();
            painter.translate(0, target.top() + target.bottom());
            painter.scale(1, -1);
            painter.drawImage(target, image);
            painter.restore();
        } else {
            painter.drawImage(target, image);
        }
    }

    const QFont titleFont = theme::font(11);
    const QFont statusFont = theme::font(10);
    for (const TitleTag& tag : tags_) {
        painter.setPen(Qt::NoPen);
        painter.setBrush(theme::withOpacity(Qt::black, 0.55));
        painter.drawRoundedRect(tag.rect, 4, 4);
        const QRectF inner = tag.rect.adjusted(7, 4, -7, -4);
        painter.setBrush(tag.online ? theme::online : theme::textFaint);
        painter.drawEllipse(QRectF(inner.left(), inner.center().y() - 3, 6, 6));
        double x = inner.left() + 6 + 5;
        double statusWidth = 0;
        if (!tag.status.isEmpty()) {
            statusWidth = QFontMetricsF(statusFont).horizontalAdvance(tag.status);
        }
        const double titleRoom =
            std::max(0.0, inner.right() - x - (statusWidth > 0 ? statusWidth + 5 : 0));
        painter.setFont(titleFont);
        painter.setPen(theme::text);
        const QString title =
            QFontMetricsF(titleFont).elidedText(tag.title, Qt::ElideRight, titleRoom);
        painter.drawText(QRectF(x, inner.top(), titleRoom, inner.height()),
                         Qt::AlignLeft | Qt::AlignVCenter, title);
        if (statusWidth > 0) {
            x += QFontMetricsF(titleFont).horizontalAdvance(title) + 5;
            painter.setFont(statusFont);
            painter.setPen(theme::textDim);
            painter.drawText(QRectF(x, inner.top(), statusWidth + 1, inner.height()),
                             Qt::AlignLeft | Qt::AlignVCenter, tag.status);
        }
    }

    if (!counted_ && texture) {
        counted_ = true;
        ++picturesDrawn_;
        if (stats_ && frame_.time > 0) {
            report(hostTime() - frame_.time);
        }
    }
}

void TextureView::report(double latency) {
    Stats& stats = *stats_;
    ++stats.count;
    stats.total += latency;
    stats.longest = std::max(stats.longest, latency);
    const double now = hostTime();
    if (now - stats.periodStart >= kStatsPeriod) {
        char line[200];
        std::snprintf(line, sizeof line,
                      "Monitor: %llu pictures drawn in %.1f s at up to %d a second; from a "
                      "source's frame to its picture: mean %.1f ms, longest %.1f ms",
                      static_cast<unsigned long long>(stats.count), now - stats.periodStart, rate(),
                      stats.total / static_cast<double>(stats.count) * 1000, stats.longest * 1000);
        logLine(line);
        stats = Stats{};
        stats.periodStart = now;
    }
}

// --- The monitor ---------------------------------------------------------------------------

QSizeF MonitorView::shownSize(QSizeF picture, QSizeF space) {
    const double w = picture.width();
    const double h = picture.height();
    const double scale = w > 0 && h > 0 ? std::min(space.width() / w, space.height() / h) : 0;
    return {std::max(1.0, w * scale), std::max(1.0, h * scale)};
}

std::vector<TitleTag> MonitorView::titleTags(const RecorderModel& model, QSizeF shown,
                                             const QFont& titleFont, const QFont& statusFont) {
    std::vector<TitleTag> tags;
    const auto& places = model.places();
    const auto& rects = model.titleRects();
    const QFontMetricsF titleMetrics(titleFont);
    const QFontMetricsF statusMetrics(statusFont);
    for (size_t i = 0; i < std::min(places.size(), rects.size()); ++i) {
        const RecorderModel::Place& place = places[i];
        const Rect& r = rects[i];
        TitleTag tag;
        tag.title = QString::fromStdString(place.title);
        tag.online = place.isOnline;
        if (!place.isOnline) {
            tag.status = place.width < 1 ? tx("En attente", "Waiting") : tx("Absente", "Away");
        }
        double contentWidth = 6 + 5 + titleMetrics.horizontalAdvance(tag.title);
        if (!tag.status.isEmpty()) {
            contentWidth += 5 + statusMetrics.horizontalAdvance(tag.status);
        }
        const double widest = std::max(20.0, r.width * shown.width() - 8);
        const double height = std::max(titleMetrics.height(), 6.0) + 8;
        tag.rect = QRectF(r.x * shown.width() + 4, r.y * shown.height() + 4,
                          std::min(widest, std::ceil(contentWidth) + 14), height);
        tags.push_back(tag);
    }
    return tags;
}

MonitorView::MonitorView(RecorderModel& model, QWidget* parent) : QWidget(parent), model_(model) {
    theme::setBackground(this, theme::background);
    stack_ = new QStackedLayout(this);

    empty_ = new QWidget(this);
    auto* emptyColumn = new QVBoxLayout(empty_);
    emptyColumn->setContentsMargins(12, 12, 12, 12);
    emptyColumn->setSpacing(10);
    emptyColumn->addStretch(1);
    auto* symbol = new symbols::SymbolView(symbols::kPictures, theme::textFaint, 40, empty_);
    emptyColumn->addWidget(symbol, 0, Qt::AlignHCenter);
    emptyTitle_ = theme::label(QString(), 14, theme::textDim, empty_);
    emptyTitle_->setAlignment(Qt::AlignCenter);
    // On two lines rather than cut when the window is at its narrowest.
    emptyTitle_->setWordWrap(true);
    emptyColumn->addWidget(emptyTitle_);
    emptyDetail_ = theme::label(QString(), 11, theme::textFaint, empty_);
    emptyDetail_->setAlignment(Qt::AlignCenter);
    emptyDetail_->setWordWrap(true);
    emptyColumn->addWidget(emptyDetail_);
    emptyColumn->addStretch(1);
    stack_->addWidget(empty_);

    shown_ = new QWidget(this);
    auto* column = new QVBoxLayout(shown_);
    column->setContentsMargins(12, 12, 12, 12);
    column->setSpacing(10);
    space_ = new Space([this] { placePicture(); });
    space_->setParent(shown_);
    space_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    column->addWidget(space_, 1);
    std::weak_ptr<RecorderController> controller = model_.controller();
    texture_ = new TextureView(
        [controller]() -> TextureView::Frame {
            auto recorder = controller.lock();
            if (!recorder) {
                return {};
            }
            // The composition is already upright.
            return {recorder->assembledFrame(), false, recorder->picture()->lastComposeTime()};
        },
        model_.displayIsLimited(), space_);
    texture_->setSeenHandler([controller](bool seen) {
        if (auto recorder = controller.lock()) {
            recorder->setMonitorShown(seen);
        }
    });

    auto* notes = new QHBoxLayout;
    notes->setSpacing(8);
    notes->addStretch(1);
    limited_ = theme::label(QString(), 11, theme::textDim, shown_);
    notes->addWidget(limited_);
    tooLargeSymbol_ = new symbols::SymbolView(symbols::kWarning, theme::accent, 11, shown_);
    notes->addWidget(tooLargeSymbol_);
    tooLarge_ = theme::label(QString(), 11, theme::accent, shown_);
    notes->addWidget(tooLarge_);
    size_ = theme::label(QString(), 11, theme::textDim, shown_);
    size_->setFont(theme::digitsFont(11));
    notes->addWidget(size_);
    notes->addStretch(1);
    column->addLayout(notes);
    stack_->addWidget(shown_);

    connect(&model_, &RecorderModel::changed, this, [this] { refresh(); });
    refresh();
}

void MonitorView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    placePicture();
}

void MonitorView::refresh() {
    emptyTitle_->setText(tx("Cocher une source pour l’enregistrer", "Tick a source to record it"));
    emptyDetail_->setText(
        tx("Les programmes qui partagent leurs images et les nœuds vidéo PipeWire "
           "apparaissent à gauche dès qu’ils publient.",
           "Programs that share their pictures and PipeWire video nodes appear on the left "
           "as soon as they publish."));
    const bool empty = model_.places().empty();
    stack_->setCurrentWidget(empty ? empty_ : shown_);

    const bool limited = model_.displayIsLimited();
    texture_->setLimited(limited);
    limited_->setVisible(limited);
    limited_->setText(tx("Affichage limité", "Display limited"));
    limited_->setToolTip(
        tx("Le mode performance est actif : l’image est affichée dix fois par "
           "seconde pendant l’enregistrement",
           "Performance mode is on: the picture is shown ten times a second "
           "while recording"));
    const bool tooLarge = model_.pictureIsTooLarge();
    tooLargeSymbol_->setVisible(tooLarge);
    tooLarge_->setVisible(tooLarge);
    tooLarge_->setText(tx("Trop grande pour être enregistrée", "Too large to be recorded"));
    const Size picture = model_.pictureSize();
    size_->setText(QString::number(static_cast<long long>(picture.width)) +
                   QString::fromUtf8(" × ") +
                   QString::number(static_cast<long long>(picture.height)));
    theme::setTextColour(size_, tooLarge ? theme::accent : theme::textDim);
    size_->setToolTip(tx("La taille de l’image assemblée", "The size of the assembled picture"));
    placePicture();
}

void MonitorView::placePicture() {
    const Size picture = model_.pictureSize();
    const QSizeF space(space_->width(), space_->height());
    const QSizeF shown = shownSize(QSizeF(picture.width, picture.height), space);
    const QRectF area((space.width() - shown.width()) / 2, (space.height() - shown.height()) / 2,
                      shown.width(), shown.height());
    texture_->setGeometry(area.toRect());
    texture_->setTags(titleTags(model_, shown, theme::font(11), theme::font(10)));
}

}  // namespace zarvo

#pragma once

#include <QRectF>
#include <QSizeF>
#include <QString>
#include <QWidget>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "platform/gpu/Texture.h"

class QLabel;
class QStackedLayout;
class QTimer;

namespace zarvo {

class RecorderModel;

namespace symbols {
class SymbolView;
}

// A source's title tag laid over the monitor picture.
struct TitleTag {
    QRectF rect;  // in the shown picture's coordinates
    QString title;
    QString status;  // "Waiting" or "Away" while offline, else empty
    bool online = false;
};

// Draws the controller's latest monitor picture, letterboxed with black bars, scaled with
// linear filtering and always opaque, with the sources' title tags over it. It never composes:
// it wraps the picture's pixels without copying them and draws them. It looks for a new
// picture at the screens' highest rate (10 times a second while the display is limited) and
// repaints only when the picture changed. It tells whoever composes the pictures whether it can
// be seen: visible, in a window that is on screen and not minimised.
class TextureView : public QWidget {
  public:
    // The picture to draw and whether its first row is its bottom one.
    struct Frame {
        gpu::TextureRef texture;
        bool flipped = false;
        double time = 0;  // the host time of the source frame it was composed for, if known
    };
    using Provider = std::function<Frame()>;
    // Told whether the view can be seen, at once and then whenever that changes.
    using SeenHandler = std::function<void(bool seen)>;

    TextureView(Provider provider, bool isLimited, QWidget* parent = nullptr);
    ~TextureView() override;

    // The highest refresh rate among the screens, at least 60; 60 without a screen.
    static int fullRate();
    // Where a texture of `picture` size goes inside a view of `view` size: fitted, centred.
    static QRectF fittedRect(QSizeF picture, QSizeF view);

    void setSeenHandler(SeenHandler handler);
    // Visible, in a window that is exposed on a screen and not minimised.
    bool isSeen() const;

    void setLimited(bool isLimited);
    bool isLimited() const { return limited_; }
    // Pictures per second the view looks for a new picture at.
    int rate() const;
    void setTags(std::vector<TitleTag> tags);
    const std::vector<TitleTag>& tags() const { return tags_; }
    // Pictures drawn so far (a picture counts once, however often it is repainted).
    uint64_t picturesDrawn() const { return picturesDrawn_; }
    // Looks for a new picture now, as the timer does.
    void poll();

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    void report(double latency);

    Provider provider_;
    SeenHandler seenHandler_;
    std::optional<bool> seen_;  // as last told to the handler
    bool limited_;
    QTimer* timer_ = nullptr;
    Frame frame_;  // the picture being shown, held while it is drawn
    const void* lastSeen_ = nullptr;
    double arrival_ = 0;
    bool counted_ = true;
    uint64_t picturesDrawn_ = 0;
    std::vector<TitleTag> tags_;
    // Set through ZARVO_MONITOR_STATS: the delay from a source's frame to its picture on the
    // screen, written to the log every few seconds.
    struct Stats;
    std::unique_ptr<Stats> stats_;
};

// The monitor: the empty state while no source is chosen; otherwise the picture in the space
// left, and under it the notices (display limited, too large to be recorded) and the size.
class MonitorView : public QWidget {
  public:
    explicit MonitorView(RecorderModel& model, QWidget* parent = nullptr);

    // The tags for the places, for a shown picture of `shown` size.
    static std::vector<TitleTag> titleTags(const RecorderModel& model, QSizeF shown,
                                           const QFont& titleFont, const QFont& statusFont);
    // The size the picture is shown at inside `space`: fitted, at least 1 × 1.
    static QSizeF shownSize(QSizeF picture, QSizeF space);

    TextureView* textureView() const { return texture_; }
    QWidget* emptyState() const { return empty_; }
    QLabel* limitedLabel() const { return limited_; }
    QLabel* tooLargeLabel() const { return tooLarge_; }
    QLabel* sizeLabel() const { return size_; }

  protected:
    void resizeEvent(QResizeEvent* event) override;

  private:
    // Shows the model's current values and texts.
    void refresh();
    void placePicture();

    RecorderModel& model_;
    QStackedLayout* stack_ = nullptr;
    QWidget* empty_ = nullptr;
    QLabel* emptyTitle_ = nullptr;
    QLabel* emptyDetail_ = nullptr;
    QWidget* shown_ = nullptr;
    QWidget* space_ = nullptr;
    TextureView* texture_ = nullptr;
    QLabel* limited_ = nullptr;
    symbols::SymbolView* tooLargeSymbol_ = nullptr;
    QLabel* tooLarge_ = nullptr;
    QLabel* size_ = nullptr;
};

}  // namespace zarvo

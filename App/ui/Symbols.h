#pragma once

#include <QColor>
#include <QIcon>
#include <QRectF>
#include <QWidget>

class QPainter;

namespace zarvo::symbols {

// The symbols the window shows, drawn with vector shapes so that they look the same under
// every desktop and icon theme.
inline constexpr const char* kRow = "rectangle.split.3x1";
inline constexpr const char* kColumn = "rectangle.split.1x2";
inline constexpr const char* kGrid = "rectangle.split.2x2";
inline constexpr const char* kFocus = "rectangle.trailingthird.inset.filled";
inline constexpr const char* kMusicNote = "music.note";
inline constexpr const char* kFolder = "folder";
inline constexpr const char* kWarning = "exclamationmark.triangle.fill";
inline constexpr const char* kCheckmark = "checkmark";
inline constexpr const char* kPictures = "rectangle.on.rectangle";
inline constexpr const char* kUpdateArrows = "arrow.triangle.2.circlepath";

// Draws the named symbol in `colour`, fitted and centred in `area`. An unknown name draws
// nothing and returns false.
bool paint(QPainter& painter, const QString& name, const QRectF& area, const QColor& colour);

// The symbol as an icon `points` high (drawn for the screen's pixel ratio).
QIcon icon(const QString& name, const QColor& colour, double points);

// A symbol as a widget: a square of `points`, in one colour.
class SymbolView : public QWidget {
  public:
    SymbolView(QString name, QColor colour, double points, QWidget* parent = nullptr);
    void setColour(const QColor& colour);
    const QString& name() const { return name_; }
    QSize sizeHint() const override;

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    QString name_;
    QColor colour_;
    double points_;
};

}  // namespace zarvo::symbols

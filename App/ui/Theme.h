#pragma once

#include <QColor>
#include <QFont>
#include <QPalette>
#include <QString>

class QApplication;
class QLabel;
class QWidget;

namespace zarvo::theme {

// The window's fixed dark palette: every colour of the interface comes from here.
inline const QColor background{17, 19, 23};
inline const QColor panel{22, 25, 30};
inline const QColor field{31, 37, 48};
inline const QColor separator{11, 12, 15};
inline const QColor text{230, 232, 236};
inline const QColor textDim{138, 145, 158};
inline const QColor textFaint{86, 93, 106};
inline const QColor accent{255, 180, 84};
inline const QColor record{255, 92, 87};
inline const QColor online{158, 206, 106};

// The application font at `points`, with an optional weight.
QFont font(double points, QFont::Weight weight = QFont::Normal);

// A palette of the theme's colours for every widget role, so that the toolkit's own controls
// are dark whatever the desktop's theme.
QPalette palette();

// The Fusion style with the theme's palette, for the whole application.
void apply(QApplication& application);

// The application font at `points` for figures that change while read (counts, clocks, sizes):
// the application's font (DejaVu Sans here) already draws every digit at the same width.
QFont digitsFont(double points, QFont::Weight weight = QFont::Normal);

// Sets the colour a label's or control's text is drawn in.
void setTextColour(QWidget* widget, const QColor& colour);

// A label in the application font at `points`, in `colour`.
QLabel* label(const QString& text, double points, const QColor& colour, QWidget* parent = nullptr);

// Fills the widget's background with `colour`.
void setBackground(QWidget* widget, const QColor& colour);

// `colour` at `opacity` (0 to 1).
QColor withOpacity(const QColor& colour, double opacity);

// A section's title: the text in upper case, font 10 medium, letter spacing 1.1, `textFaint`.
QLabel* sectionTitle(const QString& text, QWidget* parent = nullptr);

// `text` in `colour`, for style sheets and rich texts: "#rrggbb".
QString hex(const QColor& colour);

}  // namespace zarvo::theme

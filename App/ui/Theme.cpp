#include "App/ui/Theme.h"

#include <QApplication>
#include <QLabel>
#include <QStyleFactory>

namespace zarvo::theme {

QFont font(double points, QFont::Weight weight) {
    QFont result = QApplication::font();
    result.setPointSizeF(points);
    result.setWeight(weight);
    return result;
}

QPalette palette() {
    QPalette result;
    for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive}) {
        result.setColor(group, QPalette::Window, background);
        result.setColor(group, QPalette::WindowText, text);
        result.setColor(group, QPalette::Base, field);
        result.setColor(group, QPalette::AlternateBase, panel);
        result.setColor(group, QPalette::Text, text);
        result.setColor(group, QPalette::PlaceholderText, textFaint);
        result.setColor(group, QPalette::Button, field);
        result.setColor(group, QPalette::ButtonText, text);
        result.setColor(group, QPalette::BrightText, text);
        result.setColor(group, QPalette::Highlight, accent);
        result.setColor(group, QPalette::HighlightedText, background);
        result.setColor(group, QPalette::ToolTipBase, field);
        result.setColor(group, QPalette::ToolTipText, text);
        result.setColor(group, QPalette::Link, accent);
        result.setColor(group, QPalette::LinkVisited, accent);
        result.setColor(group, QPalette::Light, field);
        result.setColor(group, QPalette::Midlight, field);
        result.setColor(group, QPalette::Mid, panel);
        result.setColor(group, QPalette::Dark, separator);
        result.setColor(group, QPalette::Shadow, separator);
    }
    result.setColor(QPalette::Disabled, QPalette::Window, background);
    result.setColor(QPalette::Disabled, QPalette::Base, panel);
    result.setColor(QPalette::Disabled, QPalette::Button, panel);
    for (QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText,
                                     QPalette::PlaceholderText, QPalette::HighlightedText}) {
        result.setColor(QPalette::Disabled, role, textFaint);
    }
    result.setColor(QPalette::Disabled, QPalette::Highlight, field);
    return result;
}

void apply(QApplication& application) {
    application.setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    application.setPalette(palette());
}

QLabel* sectionTitle(const QString& title, QWidget* parent) {
    auto* label = new QLabel(title.toUpper(), parent);
    QFont titleFont = font(10, QFont::Medium);
    titleFont.setLetterSpacing(QFont::AbsoluteSpacing, 1.1);
    label->setFont(titleFont);
    QPalette colours = label->palette();
    colours.setColor(QPalette::WindowText, textFaint);
    label->setPalette(colours);
    return label;
}

QFont digitsFont(double points, QFont::Weight weight) {
    return font(points, weight);
}

void setTextColour(QWidget* widget, const QColor& colour) {
    QPalette colours = widget->palette();
    for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive}) {
        colours.setColor(group, QPalette::WindowText, colour);
        colours.setColor(group, QPalette::Text, colour);
        colours.setColor(group, QPalette::ButtonText, colour);
    }
    widget->setPalette(colours);
}

QLabel* label(const QString& words, double points, const QColor& colour, QWidget* parent) {
    auto* result = new QLabel(words, parent);
    result->setFont(font(points));
    setTextColour(result, colour);
    return result;
}

void setBackground(QWidget* widget, const QColor& colour) {
    QPalette colours = widget->palette();
    colours.setColor(QPalette::Window, colour);
    widget->setPalette(colours);
    widget->setAutoFillBackground(true);
}

QColor withOpacity(const QColor& colour, double opacity) {
    QColor result = colour;
    result.setAlphaF(static_cast<float>(opacity));
    return result;
}

QString hex(const QColor& colour) {
    return colour.name(QColor::HexRgb);
}

}  // namespace zarvo::theme

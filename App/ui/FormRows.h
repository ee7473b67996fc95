#pragma once

// The pieces the inspector's form is made of: a row of a label and its control, menus that
// shorten what does not fit, number fields, and the widths their texts need.

#include <QString>
#include <QStringList>
#include <QVariant>

#include <vector>

class QComboBox;
class QLabel;
class QLineEdit;
class QWidget;

namespace zarvo::form {

// One entry of a menu: the text shown and the value it stands for.
struct Entry {
    QString text;
    QVariant data;
    bool operator==(const Entry&) const = default;
};

// Replaces a menu's entries when they differ, and selects the entry holding `current`, without
// telling the menu's observers.
void setEntries(QComboBox* menu, const std::vector<Entry>& entries, const QVariant& current);

// Shows a text in a field unless the user is typing in it.
void setFieldText(QLineEdit* field, const QString& text);

// A number as the fields and menus show it: "25", "29.97".
QString number(double value);

// A menu that never widens the column by itself: long entries are shortened with "…" in the
// closed menu, shown whole in the open one.
QComboBox* menu(QWidget* parent);

// A field for a whole number, or one with up to three decimals, from 0 to `top`.
QLineEdit* numberField(QWidget* parent, bool decimals, double top);

// A row's label, dimmed, left-aligned.
QLabel* rowLabel(QWidget* parent);

// A label, its control stretched to the rest of the width, and an optional text after it.
QWidget* row(QLabel* label, QWidget* control, QWidget* after = nullptr);

// The width at which a menu shows each of the texts whole in its closed form.
int menuWidthFor(const QComboBox* menu, const QStringList& texts);

// The width at which a field shows each of the texts (values or placeholder) whole.
int fieldWidthFor(const QLineEdit* field, const QStringList& texts);

// The width of the widest text in the label's font.
int widestText(const QLabel* label, const QStringList& texts);

}  // namespace zarvo::form

#pragma once

// The pieces the inspector's form is made of: a row of a label and its control, menus that
// shorten what does not fit, number fields.

#include <QString>
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

// A row's label, dimmed, left-aligned, as wide as the longest label.
QLabel* rowLabel(QWidget* parent);

// A label, its control stretched to the rest of the width, and an optional text after it.
QWidget* row(QLabel* label, QWidget* control, QWidget* after = nullptr);

}  // namespace zarvo::form

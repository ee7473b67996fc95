#include "App/ui/FormRows.h"

#include <QComboBox>
#include <QDoubleValidator>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QSignalBlocker>
#include <QStyleOptionComboBox>
#include <QStylePainter>

#include "App/ui/Theme.h"

namespace zarvo::form {
namespace {

// Wide enough for the longest label ("Language", "Cadence") in the application font.
constexpr int kLabelWidth = 84;

// A menu whose closed form ends a text that does not fit with "…" instead of cutting it.
class ElidingMenu : public QComboBox {
  public:
    using QComboBox::QComboBox;

  protected:
    void paintEvent(QPaintEvent*) override {
        QStylePainter painter(this);
        QStyleOptionComboBox option;
        initStyleOption(&option);
        painter.drawComplexControl(QStyle::CC_ComboBox, option);
        const QRect field = style()->subControlRect(QStyle::CC_ComboBox, &option,
                                                    QStyle::SC_ComboBoxEditField, this);
        option.currentText =
            fontMetrics().elidedText(option.currentText, Qt::ElideRight, field.width());
        painter.drawControl(QStyle::CE_ComboBoxLabel, option);
    }
};

}  // namespace

void setEntries(QComboBox* menu, const std::vector<Entry>& entries, const QVariant& current) {
    const QSignalBlocker blocker(menu);
    bool same = menu->count() == static_cast<int>(entries.size());
    for (int i = 0; same && i < menu->count(); ++i) {
        same = menu->itemText(i) == entries[static_cast<size_t>(i)].text &&
               menu->itemData(i) == entries[static_cast<size_t>(i)].data;
    }
    if (!same) {
        menu->clear();
        for (const Entry& entry : entries) {
            menu->addItem(entry.text, entry.data);
        }
    }
    menu->setCurrentIndex(menu->findData(current));
}

void setFieldText(QLineEdit* field, const QString& text) {
    if (!field->hasFocus() && field->text() != text) {
        field->setText(text);
    }
}

QString number(double value) {
    return QString::asprintf("%g", value);
}

QComboBox* menu(QWidget* parent) {
    auto* result = new ElidingMenu(parent);
    result->setFont(theme::font(11));
    result->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    result->setMinimumContentsLength(4);
    result->setMinimumWidth(1);
    return result;
}

QLineEdit* numberField(QWidget* parent, bool decimals, double top) {
    auto* field = new QLineEdit(parent);
    field->setFont(theme::digitsFont(11));
    field->setMinimumWidth(1);
    if (decimals) {
        auto* validator = new QDoubleValidator(0, top, 3, field);
        validator->setNotation(QDoubleValidator::StandardNotation);
        validator->setLocale(QLocale::c());
        field->setValidator(validator);
    } else {
        field->setValidator(new QIntValidator(0, static_cast<int>(top), field));
    }
    return field;
}

QLabel* rowLabel(QWidget* parent) {
    QLabel* label = theme::label(QString(), 11, theme::textDim, parent);
    label->setFixedWidth(kLabelWidth);
    label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    return label;
}

QWidget* row(QLabel* label, QWidget* control, QWidget* after) {
    auto* line = new QWidget;
    auto* layout = new QHBoxLayout(line);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(6);
    layout->addWidget(label);
    layout->addWidget(control, 1);
    if (after) {
        layout->addWidget(after);
    }
    return line;
}

}  // namespace zarvo::form

#include "App/ui/FormRows.h"

#include <QComboBox>
#include <QDoubleValidator>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QSignalBlocker>
#include <QStyleOptionComboBox>
#include <QStyleOptionFrame>
#include <QStylePainter>

#include <algorithm>

#include "App/ui/Theme.h"

namespace zarvo::form {
namespace {

// A line edit keeps this much room on each side of its text inside its contents.
constexpr int kFieldTextMargin = 2;
// A closed menu draws its text this far inside its text field on each side.
constexpr int kMenuTextInset = 1;

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
        option.currentText = fontMetrics().elidedText(option.currentText, Qt::ElideRight,
                                                      field.width() - 2 * kMenuTextInset);
        painter.drawControl(QStyle::CE_ComboBoxLabel, option);
    }
};

// The widest of the texts, by how far each advances and how far its drawing reaches.
int widestAdvance(const QFontMetrics& metrics, const QStringList& texts) {
    int widest = 0;
    for (const QString& text : texts) {
        widest =
            std::max({widest, metrics.horizontalAdvance(text), metrics.boundingRect(text).width()});
    }
    return widest;
}

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

int menuWidthFor(const QComboBox* menu, const QStringList& texts) {
    const int widest = widestAdvance(menu->fontMetrics(), texts);
    QStyleOptionComboBox option;
    option.initFrom(menu);
    option.editable = menu->isEditable();
    // As wide as the toolkit makes a menu for that text...
    const QSize text(widest, menu->fontMetrics().height());
    const int hinted =
        menu->style()->sizeFromContents(QStyle::CT_ComboBox, &option, text, menu).width();
    // ...and at least so wide that the field the closed menu draws its text in holds it.
    const QRect whole(0, 0, 1000, menu->fontMetrics().height() + 8);
    option.rect = whole;
    const QRect field = menu->style()->subControlRect(QStyle::CC_ComboBox, &option,
                                                      QStyle::SC_ComboBoxEditField, menu);
    const int around = whole.width() - field.width() + 2 * kMenuTextInset;
    return std::max(hinted, widest + around);
}

int fieldWidthFor(const QLineEdit* field, const QStringList& texts) {
    QStyleOptionFrame option;
    option.initFrom(field);
    option.lineWidth = field->hasFrame() ? field->style()->pixelMetric(QStyle::PM_DefaultFrameWidth,
                                                                       &option, field)
                                         : 0;
    const QRect whole(0, 0, 1000, field->fontMetrics().height() + 8);
    option.rect = whole;
    const QRect contents =
        field->style()->subElementRect(QStyle::SE_LineEditContents, &option, field);
    const QMargins margins = field->textMargins();
    const int around =
        whole.width() - contents.width() + margins.left() + margins.right() + 2 * kFieldTextMargin;
    // One pixel more for the cursor after the last character.
    return widestAdvance(field->fontMetrics(), texts) + around + 1;
}

int widestText(const QLabel* label, const QStringList& texts) {
    return widestAdvance(label->fontMetrics(), texts);
}

}  // namespace zarvo::form

#include "App/ui/InspectorView.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleValidator>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QStyleOptionComboBox>
#include <QStylePainter>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>
#include <utility>

#include "App/RecorderModel.h"
#include "App/language/Text.h"
#include "App/ui/LayoutPicker.h"
#include "App/ui/Symbols.h"
#include "App/ui/Theme.h"
#include "engine/RecorderController.h"

namespace zarvo {
namespace {

// Wide enough for the longest label ("Language", "Cadence") in the application font.
constexpr int kLabelWidth = 84;

struct Entry {
    QString text;
    QVariant data;
    bool operator==(const Entry&) const = default;
};

// Replaces a menu's entries when they differ, and selects the entry holding `current`, without
// telling the menu's observers.
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

// Shows a number in a field unless the user is typing in it.
void setFieldText(QLineEdit* field, const QString& text) {
    if (!field->hasFocus() && field->text() != text) {
        field->setText(text);
    }
}

QString number(double value) {
    return QString::asprintf("%g", value);
}

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

// A menu that never widens the column: long entries are shortened in the closed menu, shown
// whole in the open one.
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

}  // namespace

std::string InspectorView::sizeChoice(bool customSize, int64_t width, int64_t height) {
    if (customSize) {
        return "custom";
    }
    if (width == 0 || height == 0) {
        return "auto";
    }
    const std::string tag = std::to_string(width) + "x" + std::to_string(height);
    if (tag == "1920x1080" || tag == "3840x2160") {
        return tag;
    }
    return "custom";
}

InspectorView::SizeSetting InspectorView::sizeForChoice(const std::string& choice, int64_t width,
                                                        int64_t height, double pictureWidth,
                                                        double pictureHeight) {
    if (choice == "auto") {
        return {0, 0};
    }
    if (choice == "1920x1080") {
        return {1920, 1080};
    }
    if (choice == "3840x2160") {
        return {3840, 2160};
    }
    if (width > 0 && height > 0) {
        return {width, height};
    }
    if (pictureWidth > 0 && pictureHeight > 0) {
        const auto side = [](double value) {
            return static_cast<int64_t>(std::min(std::round(value), RecorderModel::kLargestSide));
        };
        return {side(pictureWidth), side(pictureHeight)};
    }
    return {1920, 1080};
}

std::vector<double> InspectorView::frameRates(double current) {
    std::vector<double> rates = {0, 24, 25, 30, 50, 60};
    if (std::find(rates.begin(), rates.end(), current) == rates.end()) {
        rates.push_back(current);
    }
    return rates;
}

QString InspectorView::namingHint(const std::string& output, int64_t movieCount) {
    if (output == "both") {
        return tx("Le film assemblé porte ce nom ; chaque source y ajoute son titre.",
                  "The assembled movie has the name; each source’s adds its title.");
    }
    if (output == "separate" && movieCount >= 2) {
        return tx("Chaque film ajoute le titre de sa source au nom.",
                  "Each movie adds its source’s title to the name.");
    }
    return tx("Un film n’est jamais écrasé : un numéro est ajouté.",
              "A movie is never overwritten: a number is added.");
}

QLabel* InspectorView::rowLabel(QWidget* parent) {
    QLabel* label = theme::label(QString(), 11, theme::textDim, parent);
    label->setFixedWidth(kLabelWidth);
    label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    return label;
}

QWidget* InspectorView::row(QLabel* label, QWidget* control, QWidget* after) {
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

InspectorView::InspectorView(RecorderModel& model, QWidget* parent)
    : QWidget(parent), model_(model) {
    setFixedWidth(kWidth);
    theme::setBackground(this, theme::panel);
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    auto* scroll = new QScrollArea(this);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    theme::setBackground(scroll->viewport(), theme::panel);
    outer->addWidget(scroll);
    auto* content = new QWidget;
    theme::setBackground(content, theme::panel);
    auto* column = new QVBoxLayout(content);
    column->setContentsMargins(12, 12, 12, 12);
    column->setSpacing(6);
    scroll->setWidget(content);
    RecorderController& recorder = model_.recorder();

    // Movie
    movieTitle_ = theme::sectionTitle(QString(), content);
    column->addWidget(movieTitle_);
    codecLabel_ = rowLabel(content);
    codec_ = menu(content);
    for (const auto& [tag, text] :
         std::vector<std::pair<const char*, const char*>>{{"h264", "H.264"},
                                                          {"hevc", "HEVC"},
                                                          {"prores422", "ProRes 422"},
                                                          {"prores4444", "ProRes 4444"}}) {
        codec_->addItem(QString::fromUtf8(text), QString::fromUtf8(tag));
    }
    connect(codec_, &QComboBox::activated, this, [this, &recorder](int index) {
        recorder.setCodec(codec_->itemData(index).toString().toStdString());
    });
    column->addWidget(row(codecLabel_, codec_));

    fpsLabel_ = rowLabel(content);
    fps_ = menu(content);
    connect(fps_, &QComboBox::activated, this,
            [this, &recorder](int index) { recorder.setFps(fps_->itemData(index).toDouble()); });
    column->addWidget(row(fpsLabel_, fps_));

    bitrateLabel_ = rowLabel(content);
    bitrate_ = numberField(content, true, RecorderController::kMaxBitrate);
    bitrateUnit_ = theme::label(QStringLiteral("Mbit/s"), 11, theme::textFaint, content);
    connect(bitrate_, &QLineEdit::editingFinished, this, [this, &recorder] {
        recorder.setBitrate(bitrate_->text().isEmpty() ? 0 : bitrate_->text().toDouble());
    });
    column->addWidget(row(bitrateLabel_, bitrate_, bitrateUnit_));

    soundLabel_ = rowLabel(content);
    sound_ = menu(content);
    connect(sound_, &QComboBox::activated, this, [this, &recorder](int index) {
        recorder.setSound(sound_->itemData(index).toString().toStdString());
    });
    column->addWidget(row(soundLabel_, sound_));
    soundNote_ = theme::label(QString(), 10, theme::textFaint, content);
    soundNote_->setWordWrap(true);
    column->addWidget(soundNote_);

    // Assembled picture
    column->addSpacing(4);
    assembledTitle_ = theme::sectionTitle(QString(), content);
    column->addWidget(assembledTitle_);
    layoutPicker_ = new LayoutPicker(
        [&recorder](const std::string& name) { recorder.setLayout(name); }, content);
    column->addWidget(layoutPicker_);

    gapLabel_ = rowLabel(content);
    gap_ = numberField(content, false, static_cast<double>(RecorderController::kMaxGap));
    gapUnit_ = theme::label(QStringLiteral("pixels"), 11, theme::textFaint, content);
    connect(gap_, &QLineEdit::editingFinished, this,
            [this, &recorder] { recorder.setGap(gap_->text().toLongLong()); });
    column->addWidget(row(gapLabel_, gap_, gapUnit_));

    sizeLabel_ = rowLabel(content);
    size_ = menu(content);
    connect(size_, &QComboBox::activated, this,
            [this](int index) { chooseSize(size_->itemData(index).toString().toStdString()); });
    column->addWidget(row(sizeLabel_, size_));
    customRow_ = new QWidget(content);
    auto* customColumn = new QVBoxLayout(customRow_);
    customColumn->setContentsMargins(0, 0, 0, 0);
    customColumn->setSpacing(6);
    widthLabel_ = rowLabel(customRow_);
    width_ = numberField(customRow_, false, static_cast<double>(RecorderController::kMaxDimension));
    connect(width_, &QLineEdit::editingFinished, this,
            [this, &recorder] { recorder.setWidth(width_->text().toLongLong()); });
    customColumn->addWidget(row(widthLabel_, width_));
    heightLabel_ = rowLabel(customRow_);
    height_ =
        numberField(customRow_, false, static_cast<double>(RecorderController::kMaxDimension));
    connect(height_, &QLineEdit::editingFinished, this,
            [this, &recorder] { recorder.setHeight(height_->text().toLongLong()); });
    customColumn->addWidget(row(heightLabel_, height_));
    column->addWidget(customRow_);

    // Files
    column->addSpacing(4);
    filesTitle_ = theme::sectionTitle(QString(), content);
    column->addWidget(filesTitle_);
    folderLabel_ = rowLabel(content);
    folder_ = new QPushButton(content);
    folder_->setFont(theme::font(11));
    folder_->setIcon(symbols::icon(symbols::kFolder, theme::textDim, 14));
    folder_->setStyleSheet(QStringLiteral("QPushButton { text-align: left; padding: 3px 6px; }"));
    folder_->setMinimumWidth(1);
    connect(folder_, &QPushButton::clicked, this, [this] { chooseFolder(); });
    column->addWidget(row(folderLabel_, folder_));
    nameLabel_ = rowLabel(content);
    name_ = new QLineEdit(content);
    name_->setFont(theme::font(11));
    name_->setMinimumWidth(1);
    connect(name_, &QLineEdit::editingFinished, this,
            [this, &recorder] { recorder.setName(name_->text().toStdString()); });
    column->addWidget(row(nameLabel_, name_));
    hint_ = theme::label(QString(), 10, theme::textFaint, content);
    hint_->setWordWrap(true);
    column->addWidget(hint_);

    // Display
    column->addSpacing(4);
    displayTitle_ = theme::sectionTitle(QString(), content);
    column->addWidget(displayTitle_);
    performance_ = new QCheckBox(content);
    performance_->setFont(theme::font(11));
    theme::setTextColour(performance_, theme::text);
    connect(performance_, &QCheckBox::clicked, this,
            [&recorder](bool on) { recorder.setPerformance(on); });
    column->addWidget(performance_);
    performanceNote_ = theme::label(QString(), 10, theme::textFaint, content);
    performanceNote_->setWordWrap(true);
    column->addWidget(performanceNote_);
    languageLabel_ = rowLabel(content);
    language_ = menu(content);
    connect(language_, &QComboBox::activated, this, [this](int index) {
        model_.setLanguage(language::allCases[static_cast<size_t>(index)]);
    });
    column->addWidget(row(languageLabel_, language_));
    column->addStretch(1);
    column_ = column;

    connect(&model_, &RecorderModel::changed, this, [this] { update(); });
    update();
}

void InspectorView::addToDisplaySection(QWidget* control) {
    // Before the closing stretch, so the section stays at the top of the column.
    column_->insertWidget(column_->count() - 1, control);
}

void InspectorView::retranslate() {
    movieTitle_->setText(tx("Film", "Movie").toUpper());
    assembledTitle_->setText(tx("Image assemblée", "Assembled").toUpper());
    filesTitle_->setText(tx("Fichiers", "Files").toUpper());
    displayTitle_->setText(tx("Affichage", "Display").toUpper());
    codecLabel_->setText(QStringLiteral("Codec"));
    fpsLabel_->setText(tx("Cadence", "Frame rate"));
    bitrateLabel_->setText(tx("Débit", "Bitrate"));
    bitrate_->setPlaceholderText(tx("Automatique", "Automatic"));
    soundLabel_->setText(tx("Son", "Sound"));
    sound_->setToolTip(
        tx("Le son enregistré : celui de l’ordinateur, ou celui de l’une des "
           "sources pour le film assemblé",
           "The sound recorded: the computer’s, or one of the sources’ for the "
           "assembled movie"));
    gapLabel_->setText(tx("Écart", "Gap"));
    sizeLabel_->setText(tx("Taille", "Size"));
    widthLabel_->setText(tx("Largeur", "Width"));
    heightLabel_->setText(tx("Hauteur", "Height"));
    folderLabel_->setText(tx("Dossier", "Folder"));
    nameLabel_->setText(tx("Nom", "Name"));
    name_->setPlaceholderText(tx("Date et heure", "Date and time"));
    performance_->setText(tx("Mode performance", "Performance mode"));
    performanceNote_->setText(
        tx("Pendant l’enregistrement, l’image est affichée dix fois par seconde pour laisser "
           "le processeur aux films.",
           "While recording, the picture is shown ten times a second, to leave the processor "
           "to the movies."));
    languageLabel_->setText(tx("Langue", "Language"));
    // Accessible names for the fields whose label is a separate text.
    for (auto [control, label] :
         std::vector<std::pair<QWidget*, QLabel*>>{{codec_, codecLabel_},
                                                   {fps_, fpsLabel_},
                                                   {bitrate_, bitrateLabel_},
                                                   {sound_, soundLabel_},
                                                   {gap_, gapLabel_},
                                                   {size_, sizeLabel_},
                                                   {width_, widthLabel_},
                                                   {height_, heightLabel_},
                                                   {folder_, folderLabel_},
                                                   {name_, nameLabel_},
                                                   {language_, languageLabel_}}) {
        control->setAccessibleName(label->text());
    }
}

void InspectorView::update() {
    updating_ = true;
    retranslate();
    const bool idle = model_.isIdle();

    {
        const QSignalBlocker blocker(codec_);
        codec_->setCurrentIndex(codec_->findData(QString::fromStdString(model_.codec())));
    }

    std::vector<Entry> rates;
    for (double rate : frameRates(model_.fps())) {
        rates.push_back(
            {rate == 0 ? tx("Identique à la source", "Same as source") : number(rate), rate});
    }
    setEntries(fps_, rates, model_.fps());

    setFieldText(bitrate_, model_.bitrate() > 0 ? number(model_.bitrate()) : QString());
    bitrate_->setEnabled(model_.codecHasBitrate());

    std::vector<Entry> sounds = {
        {tx("Aucun", "None"), QString()},
        {tx("Ordinateur", "Computer"), QString::fromUtf8(RecorderModel::kComputerSound)}};
    for (const std::string& title : model_.soundChoices()) {
        sounds.push_back({QString::fromStdString(title), QString::fromStdString(title)});
    }
    if (model_.soundIsMissing()) {
        sounds.push_back(
            {QString::fromStdString(model_.sound()) + tx(" (non sélectionnée)", " (not selected)"),
             QString::fromStdString(model_.sound())});
    }
    setEntries(sound_, sounds, QString::fromStdString(model_.sound()));
    sound_->setEnabled(idle);
    soundNote_->setVisible(model_.soundIsMissing());
    soundNote_->setText(QString::fromStdString(model_.sound()) +
                        tx(" n’est pas sélectionnée : le film assemblé n’a pas de son.",
                           " is not selected: the assembled movie has no sound."));

    layoutPicker_->retranslate();
    layoutPicker_->setLayoutName(model_.layout());
    layoutPicker_->setPickerEnabled(idle && model_.output() != "separate");

    setFieldText(gap_, QString::number(model_.gap()));

    setEntries(size_,
               {{tx("Automatique", "Automatic"), QStringLiteral("auto")},
                {QString::fromUtf8("1920 × 1080"), QStringLiteral("1920x1080")},
                {QString::fromUtf8("3840 × 2160"), QStringLiteral("3840x2160")},
                {tx("Personnalisée", "Custom"), QStringLiteral("custom")}},
               QString::fromStdString(sizeChoice(customSize_, model_.width(), model_.height())));
    customRow_->setVisible(sizeChoice(customSize_, model_.width(), model_.height()) == "custom");
    setFieldText(width_, QString::number(model_.width()));
    setFieldText(height_, QString::number(model_.height()));

    const QString folder = QString::fromStdString(model_.folder());
    folder_->setToolTip(folder);
    folder_->setText(folder_->fontMetrics().elidedText(folder, Qt::ElideMiddle,
                                                       std::max(40, folder_->width() - 34)));
    setFieldText(name_, QString::fromStdString(model_.name()));
    hint_->setText(namingHint(model_.output(), model_.movieCount()));

    performance_->setChecked(model_.performance());
    std::vector<Entry> languages;
    for (size_t i = 0; i < language::allCases.size(); ++i) {
        languages.push_back(
            {QString::fromStdString(language::label(language::allCases[i])), static_cast<int>(i)});
    }
    const auto current =
        std::find(language::allCases.begin(), language::allCases.end(), model_.language()) -
        language::allCases.begin();
    setEntries(language_, languages, static_cast<int>(current));
    updating_ = false;
}

void InspectorView::chooseSize(const std::string& choice) {
    customSize_ = choice == "custom";
    const SizeSetting setting =
        sizeForChoice(choice, model_.width(), model_.height(), model_.pictureSize().width,
                      model_.pictureSize().height);
    RecorderController& recorder = model_.recorder();
    if (setting.width != model_.width()) {
        recorder.setWidth(setting.width);
    }
    if (setting.height != model_.height()) {
        recorder.setHeight(setting.height);
    }
    update();
}

void InspectorView::chooseFolder() {
    QFileDialog dialog(this, tx("Dossier des films", "Movies folder"),
                       QString::fromStdString(model_.folder()));
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly, true);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setLabelText(QFileDialog::Accept, tx("Choisir", "Choose"));
    if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty()) {
        model_.recorder().setFolder(dialog.selectedFiles().constFirst().toStdString());
    }
}

}  // namespace zarvo

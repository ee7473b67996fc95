#include "App/ui/InspectorView.h"

#include <QCheckBox>
#include <QComboBox>
#include <QEvent>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QVBoxLayout>

#include <algorithm>
#include <utility>
#include <vector>

#include "App/RecorderModel.h"
#include "App/language/Text.h"
#include "App/ui/FormRows.h"
#include "App/ui/InspectorChoices.h"
#include "App/ui/LayoutPicker.h"
#include "App/ui/Symbols.h"
#include "App/ui/Theme.h"
#include "engine/Codec.h"
#include "engine/RecorderController.h"

namespace zarvo {
namespace {

// The room between sections of the column.
constexpr int kSectionGap = 4;

QStringList entryTexts(const QComboBox* menu) {
    QStringList texts;
    for (int i = 0; i < menu->count(); ++i) {
        texts << menu->itemText(i);
    }
    return texts;
}

// A size preset as its menu entry shows it: "1920 × 1080".
QString presetTitle(const inspector::SizePreset& preset) {
    return QString::number(preset.width) + QString::fromUtf8(" × ") +
           QString::number(preset.height);
}

}  // namespace

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

InspectorView::InspectorView(RecorderModel& model, QWidget* parent)
    : QWidget(parent), model_(model) {
    setFixedWidth(kWidth);
    theme::setBackground(this, theme::panel);
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    scroll_ = new QScrollArea(this);
    scroll_->setFrameShape(QFrame::NoFrame);
    scroll_->setWidgetResizable(true);
    scroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    theme::setBackground(scroll_->viewport(), theme::panel);
    outer->addWidget(scroll_);
    content_ = new QWidget;
    theme::setBackground(content_, theme::panel);
    auto* column = new QVBoxLayout(content_);
    column->setContentsMargins(12, 12, 12, 12);
    column->setSpacing(6);
    scroll_->setWidget(content_);

    buildMovieSection(content_, column);
    column->addSpacing(kSectionGap);
    buildAssembledSection(content_, column);
    column->addSpacing(kSectionGap);
    buildFilesSection(content_, column);
    column->addSpacing(kSectionGap);
    buildDisplaySection(content_, column);
    column->addStretch(1);
    column_ = column;

    content_->installEventFilter(this);
    folder_->installEventFilter(this);
    scroll_->verticalScrollBar()->installEventFilter(this);
    connect(&model_, &RecorderModel::changed, this, [this] { refresh(); });
    refresh();
    fitWidthToContent();
}

// --- Building the sections --------------------------------------------------------------------

void InspectorView::buildMovieSection(QWidget* content, QVBoxLayout* column) {
    RecorderController& recorder = model_.recorder();
    movieTitle_ = theme::sectionTitle(QString(), content);
    column->addWidget(movieTitle_);

    codecLabel_ = form::rowLabel(content);
    codec_ = form::menu(content);
    for (const CodecDescription& codec : kCodecs) {
        codec_->addItem(QString::fromUtf8(codec.displayName), QString::fromUtf8(codec.name));
    }
    connect(codec_, &QComboBox::activated, this, [this, &recorder](int index) {
        recorder.setCodec(codec_->itemData(index).toString().toStdString());
    });
    column->addWidget(form::row(codecLabel_, codec_));

    fpsLabel_ = form::rowLabel(content);
    fps_ = form::menu(content);
    connect(fps_, &QComboBox::activated, this,
            [this, &recorder](int index) { recorder.setFps(fps_->itemData(index).toDouble()); });
    column->addWidget(form::row(fpsLabel_, fps_));

    bitrateLabel_ = form::rowLabel(content);
    bitrate_ = form::numberField(content, true, RecorderController::kMaxBitrate);
    bitrateUnit_ = theme::label(QStringLiteral("Mbit/s"), 11, theme::textFaint, content);
    connect(bitrate_, &QLineEdit::editingFinished, this, [this, &recorder] {
        recorder.setBitrate(bitrate_->text().isEmpty() ? 0 : bitrate_->text().toDouble());
    });
    column->addWidget(form::row(bitrateLabel_, bitrate_, bitrateUnit_));

    soundLabel_ = form::rowLabel(content);
    sound_ = form::menu(content);
    connect(sound_, &QComboBox::activated, this, [this, &recorder](int index) {
        recorder.setSound(sound_->itemData(index).toString().toStdString());
    });
    column->addWidget(form::row(soundLabel_, sound_));
    soundNote_ = theme::label(QString(), 10, theme::textFaint, content);
    soundNote_->setWordWrap(true);
    column->addWidget(soundNote_);
}

void InspectorView::buildAssembledSection(QWidget* content, QVBoxLayout* column) {
    RecorderController& recorder = model_.recorder();
    assembledTitle_ = theme::sectionTitle(QString(), content);
    column->addWidget(assembledTitle_);
    layoutPicker_ = new LayoutPicker(
        [&recorder](const std::string& name) { recorder.setLayout(name); }, content);
    column->addWidget(layoutPicker_);

    gapLabel_ = form::rowLabel(content);
    gap_ = form::numberField(content, false, static_cast<double>(RecorderController::kMaxGap));
    gapUnit_ = theme::label(QStringLiteral("pixels"), 11, theme::textFaint, content);
    connect(gap_, &QLineEdit::editingFinished, this,
            [this, &recorder] { recorder.setGap(gap_->text().toLongLong()); });
    column->addWidget(form::row(gapLabel_, gap_, gapUnit_));

    sizeLabel_ = form::rowLabel(content);
    size_ = form::menu(content);
    connect(size_, &QComboBox::activated, this,
            [this](int index) { chooseSize(size_->itemData(index).toString().toStdString()); });
    column->addWidget(form::row(sizeLabel_, size_));

    // The width and height, shown for a custom size.
    customRow_ = new QWidget(content);
    auto* customColumn = new QVBoxLayout(customRow_);
    customColumn->setContentsMargins(0, 0, 0, 0);
    customColumn->setSpacing(6);
    const auto largest = static_cast<double>(RecorderController::kMaxDimension);
    widthLabel_ = form::rowLabel(customRow_);
    width_ = form::numberField(customRow_, false, largest);
    connect(width_, &QLineEdit::editingFinished, this,
            [this, &recorder] { recorder.setWidth(width_->text().toLongLong()); });
    customColumn->addWidget(form::row(widthLabel_, width_));
    heightLabel_ = form::rowLabel(customRow_);
    height_ = form::numberField(customRow_, false, largest);
    connect(height_, &QLineEdit::editingFinished, this,
            [this, &recorder] { recorder.setHeight(height_->text().toLongLong()); });
    customColumn->addWidget(form::row(heightLabel_, height_));
    column->addWidget(customRow_);
}

void InspectorView::buildFilesSection(QWidget* content, QVBoxLayout* column) {
    RecorderController& recorder = model_.recorder();
    filesTitle_ = theme::sectionTitle(QString(), content);
    column->addWidget(filesTitle_);

    folderLabel_ = form::rowLabel(content);
    folder_ = new QPushButton(content);
    folder_->setFont(theme::font(11));
    folder_->setIcon(symbols::icon(symbols::kFolder, theme::textDim, 14));
    folder_->setStyleSheet(QStringLiteral("QPushButton { text-align: left; padding: 3px 6px; }"));
    folder_->setMinimumWidth(1);
    connect(folder_, &QPushButton::clicked, this, [this] { chooseFolder(); });
    column->addWidget(form::row(folderLabel_, folder_));

    nameLabel_ = form::rowLabel(content);
    name_ = new QLineEdit(content);
    name_->setFont(theme::font(11));
    name_->setMinimumWidth(1);
    connect(name_, &QLineEdit::editingFinished, this,
            [this, &recorder] { recorder.setName(name_->text().toStdString()); });
    column->addWidget(form::row(nameLabel_, name_));
    hint_ = theme::label(QString(), 10, theme::textFaint, content);
    hint_->setWordWrap(true);
    column->addWidget(hint_);
}

void InspectorView::buildDisplaySection(QWidget* content, QVBoxLayout* column) {
    RecorderController& recorder = model_.recorder();
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

    languageLabel_ = form::rowLabel(content);
    language_ = form::menu(content);
    connect(language_, &QComboBox::activated, this, [this](int index) {
        model_.setLanguage(language::allCases[static_cast<size_t>(index)]);
    });
    column->addWidget(form::row(languageLabel_, language_));
}

void InspectorView::addToDisplaySection(QWidget* control) {
    // Before the closing stretch, so the section stays at the top of the column.
    column_->insertWidget(column_->count() - 1, control);
}

// --- Showing the model ------------------------------------------------------------------------

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

void InspectorView::refresh() {
    updating_ = true;
    retranslate();
    showMovie();
    showAssembled();
    showFiles();
    showDisplay();
    fitControlsToTexts();
    updating_ = false;
}

void InspectorView::showMovie() {
    {
        const QSignalBlocker blocker(codec_);
        codec_->setCurrentIndex(codec_->findData(QString::fromStdString(model_.codec())));
    }

    std::vector<form::Entry> rates;
    for (double rate : inspector::frameRates(model_.fps())) {
        rates.push_back(
            {rate == 0 ? tx("Identique à la source", "Same as source") : form::number(rate), rate});
    }
    form::setEntries(fps_, rates, model_.fps());

    form::setFieldText(bitrate_, model_.bitrate() > 0 ? form::number(model_.bitrate()) : QString());
    bitrate_->setEnabled(model_.codecHasBitrate());

    std::vector<form::Entry> sounds = {
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
    form::setEntries(sound_, sounds, QString::fromStdString(model_.sound()));
    sound_->setEnabled(model_.isIdle());
    soundNote_->setVisible(model_.soundIsMissing());
    soundNote_->setText(QString::fromStdString(model_.sound()) +
                        tx(" n’est pas sélectionnée : le film assemblé n’a pas de son.",
                           " is not selected: the assembled movie has no sound."));
}

void InspectorView::showAssembled() {
    layoutPicker_->retranslate();
    layoutPicker_->setLayoutName(model_.layout());
    layoutPicker_->setPickerEnabled(model_.isIdle() && model_.output() != "separate");

    form::setFieldText(gap_, QString::number(model_.gap()));

    std::vector<form::Entry> sizes = {
        {tx("Automatique", "Automatic"), QString::fromUtf8(inspector::kAutomaticSize)}};
    for (const inspector::SizePreset& preset : inspector::kSizePresets) {
        sizes.push_back({presetTitle(preset), QString::fromUtf8(preset.name)});
    }
    sizes.push_back({tx("Personnalisée", "Custom"), QString::fromUtf8(inspector::kCustomSize)});
    const std::string choice = inspector::sizeChoice(customSize_, model_.width(), model_.height());
    form::setEntries(size_, sizes, QString::fromStdString(choice));
    customRow_->setVisible(choice == inspector::kCustomSize);
    form::setFieldText(width_, QString::number(model_.width()));
    form::setFieldText(height_, QString::number(model_.height()));
}

void InspectorView::showFiles() {
    showFolder();
    form::setFieldText(name_, QString::fromStdString(model_.name()));
    hint_->setText(namingHint(model_.output(), model_.movieCount()));
}

void InspectorView::showFolder() {
    // Shortened in the middle to the button's width, so both ends of the path stay readable.
    const QString folder = QString::fromStdString(model_.folder());
    folder_->setToolTip(folder);
    folder_->setText(folder_->fontMetrics().elidedText(folder, Qt::ElideMiddle,
                                                       std::max(40, folder_->width() - 34)));
}

void InspectorView::showDisplay() {
    performance_->setChecked(model_.performance());
    std::vector<form::Entry> languages;
    for (size_t i = 0; i < language::allCases.size(); ++i) {
        languages.push_back(
            {QString::fromStdString(language::label(language::allCases[i])), static_cast<int>(i)});
    }
    const auto current =
        std::find(language::allCases.begin(), language::allCases.end(), model_.language()) -
        language::allCases.begin();
    form::setEntries(language_, languages, static_cast<int>(current));
}

// --- Fitting the column to its texts ----------------------------------------------------------

void InspectorView::fitControlsToTexts() {
    // One label column, as wide as its widest label.
    const std::vector<QLabel*> labels = {codecLabel_,  fpsLabel_,  bitrateLabel_, soundLabel_,
                                         gapLabel_,    sizeLabel_, widthLabel_,   heightLabel_,
                                         folderLabel_, nameLabel_, languageLabel_};
    QStringList labelTexts;
    for (const QLabel* label : labels) {
        labelTexts << label->text();
    }
    const int labelWidth = form::widestText(codecLabel_, labelTexts);
    for (QLabel* label : labels) {
        label->setFixedWidth(labelWidth);
    }

    // Menus of fixed entries show each entry whole; the sound menu its two own entries (a
    // source's title may be shortened); fields their placeholder, text or largest value.
    for (QComboBox* menu : {codec_, fps_, size_, language_}) {
        menu->setMinimumWidth(form::menuWidthFor(menu, entryTexts(menu)));
    }
    sound_->setMinimumWidth(form::menuWidthFor(sound_, entryTexts(sound_).mid(0, 2)));
    bitrate_->setMinimumWidth(
        form::fieldWidthFor(bitrate_, {bitrate_->placeholderText(), bitrate_->text()}));
    gap_->setMinimumWidth(
        form::fieldWidthFor(gap_, {QString::number(RecorderController::kMaxGap)}));
    for (QLineEdit* side : {width_, height_}) {
        side->setMinimumWidth(
            form::fieldWidthFor(side, {QString::number(RecorderController::kMaxDimension)}));
    }
    name_->setMinimumWidth(form::fieldWidthFor(name_, {name_->placeholderText()}));
}

void InspectorView::fitWidthToContent() {
    // As wide as the column's content needs, with room for the scroll bar when it shows.
    const QScrollBar* bar = scroll_->verticalScrollBar();
    const int scrollBar = bar->isVisible() ? bar->width() : 0;
    setFixedWidth(std::max(kWidth, column_->minimumSize().width() + scrollBar));
}

bool InspectorView::eventFilter(QObject* watched, QEvent* event) {
    if (watched == folder_ && event->type() == QEvent::Resize) {
        showFolder();
    }
    // The column has just been laid out again, or the scroll bar came or went.
    const bool columnChanged = watched == content_ && event->type() == QEvent::LayoutRequest;
    const bool barChanged = watched == scroll_->verticalScrollBar() &&
                            (event->type() == QEvent::Show || event->type() == QEvent::Hide);
    if (columnChanged || barChanged) {
        fitWidthToContent();
    }
    return QWidget::eventFilter(watched, event);
}

void InspectorView::chooseSize(const std::string& choice) {
    customSize_ = choice == inspector::kCustomSize;
    const inspector::SizeSetting setting =
        inspector::sizeForChoice(choice, model_.width(), model_.height(),
                                 model_.pictureSize().width, model_.pictureSize().height);
    RecorderController& recorder = model_.recorder();
    if (setting.width != model_.width()) {
        recorder.setWidth(setting.width);
    }
    if (setting.height != model_.height()) {
        recorder.setHeight(setting.height);
    }
    refresh();
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

#include "App/ui/TakeBar.h"

#include <QButtonGroup>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>

#include "App/RecorderModel.h"
#include "App/language/Text.h"
#include "App/ui/RecordButton.h"
#include "App/ui/Symbols.h"
#include "App/ui/Theme.h"
#include "App/ui/TimeFormat.h"
#include "engine/RecorderController.h"

namespace zarvo {

QString TakeCaption::soundDuration(double seconds) {
    return seconds < 10 ? QString::asprintf("%.1f s", seconds)
                        : QString::asprintf("%.0f s", seconds);
}

TakeCaption TakeCaption::of(const RecorderModel& model) {
    TakeCaption caption;
    if (!model.notice().empty()) {
        caption.kind = Kind::notice;
        caption.warning = true;
        caption.parts.push_back({QString::fromStdString(model.notice()), theme::accent});
    } else if (!model.failure().empty()) {
        caption.kind = Kind::failure;
        caption.warning = true;
        caption.parts.push_back({QString::fromStdString(model.failure()), theme::record});
    } else if (model.recorderState() == RecorderState::recording) {
        caption.kind = Kind::counts;
        caption.parts.push_back({QString::number(model.frames()) + tx(" images · ", " frames · ") +
                                     QString::number(model.dropped()) + tx(" perdues", " dropped"),
                                 model.dropped() == 0 ? theme::textDim : theme::accent});
        if (model.soundLeftOut() > 0) {
            caption.parts.push_back({QString::fromUtf8(" · ") +
                                         soundDuration(model.soundLeftOut()) +
                                         tx(" de son perdu", " of sound lost"),
                                     theme::accent});
        }
    } else if (model.recorderState() == RecorderState::finishing) {
        caption.kind = Kind::finishing;
        caption.parts.push_back(
            {tx("Finalisation des films…", "Finishing the movies…"), theme::textDim});
    }
    return caption;
}

QString TakeCaption::text() const {
    QString result;
    for (const Part& part : parts) {
        result += part.text;
    }
    return result;
}

TakeBar::TakeBar(RecorderModel& model, QWidget* parent) : QWidget(parent), model_(model) {
    theme::setBackground(this, theme::background);
    setFixedHeight(56);
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(12, 10, 12, 10);
    row->setSpacing(12);

    recordButton_ = new RecordButton(this);
    connect(recordButton_, &RecordButton::clicked, this, [this] { model_.recorder().toggle(); });
    row->addWidget(recordButton_);

    clock_ = new QLabel(this);
    clock_->setObjectName(QStringLiteral("clock"));
    clock_->setFont(theme::digitsFont(26, QFont::Medium));
    row->addWidget(clock_);

    // Marks a moment of the take, as Ctrl+M does; the marks go to the take's timeline file.
    markerButton_ = new QPushButton(this);
    markerButton_->setObjectName(QStringLiteral("marker"));
    markerButton_->setFont(theme::font(11));
    markerButton_->setFocusPolicy(Qt::TabFocus);
    markerButton_->setStyleSheet(
        QStringLiteral("QPushButton { background: %1; color: %2; border: 1px solid %3; "
                       "border-radius: 5px; padding: 4px 10px; }"
                       "QPushButton:pressed { background: %4; }"
                       "QPushButton:disabled { color: %5; border-color: %6; }")
            .arg(theme::hex(theme::field), theme::hex(theme::accent), theme::hex(theme::accent),
                 theme::hex(theme::panel), theme::hex(theme::textFaint),
                 theme::hex(theme::separator)));
    connect(markerButton_, &QPushButton::clicked, this,
            [this] { model_.recorder().addMarker(""); });
    row->addWidget(markerButton_);

    auto* captionBox = new QHBoxLayout;
    captionBox->setSpacing(5);
    warning_ = new symbols::SymbolView(symbols::kWarning, theme::accent, 13, this);
    captionBox->addWidget(warning_);
    caption_ = new QLabel(this);
    caption_->setObjectName(QStringLiteral("caption"));
    caption_->setFont(theme::digitsFont(12));
    caption_->setTextFormat(Qt::RichText);
    caption_->setMinimumWidth(1);
    caption_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    captionBox->addWidget(caption_, 1);
    row->addLayout(captionBox, 1);

    outputs_ = new QWidget(this);
    outputs_->setFixedWidth(250);
    auto* segments = new QHBoxLayout(outputs_);
    segments->setContentsMargins(0, 0, 0, 0);
    segments->setSpacing(0);
    outputGroup_ = new QButtonGroup(this);
    outputGroup_->setExclusive(true);
    const auto& outputs = RecorderModel::outputs();
    for (size_t i = 0; i < outputs.size(); ++i) {
        auto* segment = new QPushButton(outputs_);
        segment->setCheckable(true);
        segment->setObjectName(QString::fromUtf8(outputs[i].name));
        segment->setFont(theme::font(11));
        segment->setFocusPolicy(Qt::TabFocus);
        const char* corners = i == 0                    ? "border-top-left-radius: 5px; "
                                                          "border-bottom-left-radius: 5px;"
                              : i + 1 == outputs.size() ? "border-top-right-radius: 5px; "
                                                          "border-bottom-right-radius: 5px;"
                                                        : "";
        segment->setStyleSheet(
            QStringLiteral("QPushButton { background: %1; color: %2; border: 1px solid %3; "
                           "padding: 4px 6px; %4 }"
                           "QPushButton:checked { background: %5; color: %6; }"
                           "QPushButton:disabled { color: %7; }"
                           "QPushButton:checked:disabled { color: %2; }")
                .arg(theme::hex(theme::panel), theme::hex(theme::textDim),
                     theme::hex(theme::separator), QString::fromUtf8(corners),
                     theme::hex(theme::field), theme::hex(theme::text),
                     theme::hex(theme::textFaint)));
        outputGroup_->addButton(segment, static_cast<int>(i));
        segments->addWidget(segment);
    }
    connect(outputGroup_, &QButtonGroup::idClicked, this, [this](int id) {
        model_.recorder().setOutput(RecorderModel::outputs()[static_cast<size_t>(id)].name);
    });
    row->addWidget(outputs_);

    connect(&model_, &RecorderModel::changed, this, [this] { refresh(); });
    refresh();
}

QPushButton* TakeBar::outputButton(int index) const {
    return static_cast<QPushButton*>(outputGroup_->button(index));
}

void TakeBar::refresh() {
    const bool recording = !model_.isIdle();
    recordButton_->setRecording(recording);
    recordButton_->setToolTip(recording ? tx("Arrêter l’enregistrement et finaliser les films "
                                             "(Ctrl+R)",
                                             "Stop recording and finish the movies (Ctrl+R)")
                                        : tx("Enregistrer les sources choisies (Ctrl+R)",
                                             "Record the sources chosen (Ctrl+R)"));
    clock_->setText(TimeFormat::clock(model_.elapsed()));
    markerButton_->setText(tx("◆ Marqueur", "◆ Marker"));
    markerButton_->setEnabled(model_.recorderState() == RecorderState::recording);
    markerButton_->setToolTip(
        tx("Marquer cet instant de l’enregistrement : les marqueurs sont "
           "dans son fichier de montage .otio (Ctrl+M)",
           "Mark this moment of the recording: the markers are in its "
           ".otio timeline file (Ctrl+M)"));
    markerButton_->setAccessibleName(tx("Ajouter un marqueur", "Add a marker"));
    theme::setTextColour(clock_, recording ? theme::text : theme::textDim);

    const TakeCaption caption = TakeCaption::of(model_);
    QString html;
    for (const TakeCaption::Part& part : caption.parts) {
        html += QStringLiteral("<span style=\"color:%1\">%2</span>")
                    .arg(theme::hex(part.colour), part.text.toHtmlEscaped());
    }
    caption_->setText(html);
    caption_->setToolTip(caption.text());
    caption_->setAccessibleName(caption.text());
    warning_->setVisible(caption.warning);
    warning_->setColour(caption.kind == TakeCaption::Kind::failure ? theme::record : theme::accent);

    const auto& outputs = RecorderModel::outputs();
    for (size_t i = 0; i < outputs.size(); ++i) {
        QAbstractButton* segment = outputGroup_->button(static_cast<int>(i));
        segment->setText(outputs[i].title());
        segment->setChecked(model_.output() == outputs[i].name);
    }
    outputs_->setEnabled(!recording);
    outputs_->setToolTip(tx("Un film par source, un seul film des sources assemblées, ou les deux",
                            "A movie for each source, one movie of the sources assembled, or "
                            "both"));
}

}  // namespace zarvo

#include "App/ui/StatusBar.h"

#include <QHBoxLayout>
#include <QLabel>

#include <array>
#include <cmath>

#include "App/RecorderModel.h"
#include "App/language/Text.h"
#include "App/ui/Theme.h"

namespace zarvo {

QString StatusBar::byteCount(int64_t bytes) {
    const bool english = language::isEnglish();
    if (bytes < 1000) {
        if (english) {
            return bytes == 1 ? QStringLiteral("1 byte") : QString::number(bytes) + " bytes";
        }
        return QString::number(bytes) + (bytes <= 1 ? " octet" : " octets");
    }
    static const std::array<const char*, 5> englishUnits = {"KB", "MB", "GB", "TB", "PB"};
    static const std::array<const char*, 5> frenchUnits = {"ko", "Mo", "Go", "To", "Po"};
    double value = static_cast<double>(bytes) / 1000;
    size_t unit = 0;
    while (value >= 999.95 && unit + 1 < englishUnits.size()) {
        value /= 1000;
        ++unit;
    }
    // Kilobytes are whole, megabytes have one decimal, larger units two, as file sizes are
    // usually written; trailing zeros are dropped.
    const int decimals = unit == 0 ? 0 : unit == 1 ? 1 : 2;
    QString number = QString::number(value, 'f', decimals);
    if (number.contains('.')) {
        while (number.endsWith('0')) {
            number.chop(1);
        }
        if (number.endsWith('.')) {
            number.chop(1);
        }
    }
    if (!english) {
        number.replace('.', ',');
    }
    return number + QStringLiteral("\u00a0") + (english ? englishUnits[unit] : frenchUnits[unit]);
}

QString StatusBar::summary(std::optional<int64_t> freeSpace, int64_t movieCount) {
    const QString movies = movieCount == 1 ? tx("1 film", "1 movie")
                                           : QString::number(movieCount) + tx(" films", " movies");
    if (!freeSpace) {
        return movies;
    }
    return byteCount(*freeSpace) + tx(" libres", " free") + QString::fromUtf8(" · ") + movies;
}

StatusBar::StatusBar(RecorderModel& model, QWidget* parent) : QWidget(parent), model_(model) {
    theme::setBackground(this, theme::panel);
    setFixedHeight(24);
    row_ = new QHBoxLayout(this);
    row_->setContentsMargins(12, 0, 12, 0);
    row_->setSpacing(16);
    auto make = [this](const char* name, const QColor& colour) {
        QLabel* label = theme::label(QString(), 10, colour, this);
        label->setFont(theme::digitsFont(10));
        label->setObjectName(QString::fromUtf8(name));
        row_->addWidget(label);
        return label;
    };
    summary_ = make("summary", theme::textDim);
    ports_ = make("ports", theme::textDim);
    ndi_ = make("ndi", theme::textDim);
    failure_ = make("failure", theme::record);
    failure_->setMinimumWidth(1);
    failure_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    row_->addStretch(1);
    version_ = make("version", theme::textDim);
    connect(&model_, &RecorderModel::changed, this, [this] { refresh(); });
    refresh();
}

void StatusBar::insertItem(QWidget* item) {
    row_->insertWidget(row_->indexOf(version_), item);
}

void StatusBar::refresh() {
    summary_->setText(summary(model_.freeSpace(), model_.movieCount()));
    if (model_.oscPort() < 1) {
        ports_->setText(tx("OSC non disponible", "OSC is not available"));
    } else {
        ports_->setText(QStringLiteral("OSC :%1   OSCQuery :%2")
                            .arg(model_.oscPort())
                            .arg(model_.oscQueryPort()));
    }
    ndi_->setText(model_.ndiAvailable() ? tx("NDI actif", "NDI on") : tx("NDI inactif", "NDI off"));
    ndi_->setToolTip(model_.ndiAvailable() ? QString()
                                           : QString::fromStdString(model_.ndiOffReason()));
    failure_->setText(QString::fromStdString(model_.failure()));
    failure_->setToolTip(QString::fromStdString(model_.failure()));
    failure_->setVisible(!model_.failure().empty());
    version_->setText(QStringLiteral("v") + QString::fromStdString(model_.version()));
}

}  // namespace zarvo

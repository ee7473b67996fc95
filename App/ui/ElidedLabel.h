#pragma once

#include <QLabel>
#include <QResizeEvent>

namespace zarvo {

// A one-line label that ends its text with "…" when it is wider than the label, and shows the
// whole text as its tooltip.
class ElidedLabel : public QLabel {
  public:
    explicit ElidedLabel(QString text, QWidget* parent = nullptr)
        : QLabel(parent), full_(std::move(text)) {
        setTextFormat(Qt::PlainText);
        setMinimumWidth(1);
        setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
        elide();
    }
    const QString& fullText() const { return full_; }
    void setFullText(const QString& text) {
        full_ = text;
        elide();
    }
    QSize sizeHint() const override {
        return {fontMetrics().horizontalAdvance(full_), QLabel::sizeHint().height()};
    }

  protected:
    void resizeEvent(QResizeEvent* event) override {
        QLabel::resizeEvent(event);
        elide();
    }
    void changeEvent(QEvent* event) override {
        QLabel::changeEvent(event);
        if (event->type() == QEvent::FontChange) {
            elide();
        }
    }

  private:
    void elide() {
        const QString shown = fontMetrics().elidedText(full_, Qt::ElideRight, width());
        if (text() != shown) {
            setText(shown);
        }
        setToolTip(shown == full_ ? QString() : full_);
    }

    QString full_;
};

}  // namespace zarvo

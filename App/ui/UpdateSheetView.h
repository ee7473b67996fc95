#pragma once

#include <QDialog>
#include <QWidget>

#include <functional>

#include "platform/NotificationCenter.h"

class QBoxLayout;
class QCheckBox;
class QLabel;
class QPushButton;
class QTimer;
class QUrl;

namespace zarvo {

class ZarvoUpdater;

// One of the sheet's drawn symbols, in the shapes of the symbols it names.
class UpdateSymbol : public QWidget {
  public:
    enum class Shape { checkmarkCircleFill, arrowDownCircleFill, exclamationmarkTriangleFill };
    UpdateSymbol(Shape shape, double size, QWidget* parent = nullptr);
    Shape shape() const { return shape_; }
    QSize sizeHint() const override;

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    Shape shape_;
    double size_;
};

// A turning ring of dashes: work under way.
class UpdateSpinner : public QWidget {
  public:
    explicit UpdateSpinner(double size, QWidget* parent = nullptr);
    QSize sizeHint() const override;

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    double size_;
    int step_ = 0;
    QTimer* timer_;
};

// The update sheet: a modal dialog over the window while the updater's isUpdateSheetPresented
// holds. Its head is the icon beside the title and the running version; its body and buttons
// follow the updater's state; a toggle turns the launch check on and off. Rebuilt whenever the
// updater or the interface language changes. Closing it (a button, Escape, the window's close)
// clears isUpdateSheetPresented; it cannot be closed while a download or installation runs.
// A copy that cannot install (no publisher key: it points to the release page) or must not
// (installed by the package manager: it says to update there) shows what is new all the same.
class UpdateSheetView : public QDialog {
  public:
    // `openUrl` opens a web page in the browser (by default through the desktop).
    explicit UpdateSheetView(ZarvoUpdater& updater, QWidget* parent = nullptr,
                             std::function<void(const QUrl&)> openUrl = {});
    ~UpdateSheetView() override;

    // Shows the sheet when the updater asks for it and hides it when it no longer does.
    void followPresentation();

    void reject() override;

  private:
    void rebuild();
    void close();
    QPushButton* addButton(const QString& text, bool isDefault);

    ZarvoUpdater& updater_;
    std::function<void(const QUrl&)> openUrl_;
    QLabel* title_ = nullptr;
    QLabel* version_ = nullptr;
    QWidget* body_ = nullptr;
    QCheckBox* autoCheck_ = nullptr;
    QBoxLayout* buttons_ = nullptr;
    ScopedObserver updaterObserver_;
    ScopedObserver languageObserver_;
};

}  // namespace zarvo

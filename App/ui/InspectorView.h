#pragma once

#include <QString>
#include <QWidget>

#include <cstdint>
#include <string>

class QCheckBox;
class QComboBox;
class QFormLayout;
class QLabel;
class QLineEdit;
class QPushButton;
class QScrollArea;
class QVBoxLayout;

namespace zarvo {

class LayoutPicker;
class RecorderModel;

// The settings on the right: the movie (codec, frame rate, bitrate, sound), the assembled
// picture (layout, gap, size), the files (folder, name) and the display (performance mode,
// language). Each control shows the model's value and sets the controller's.
class InspectorView : public QWidget {
  public:
    // The narrowest the column is; it widens so that every menu and field shows its longest
    // entry whole in the language shown.
    static constexpr int kWidth = 230;

    explicit InspectorView(RecorderModel& model, QWidget* parent = nullptr);

    // The naming hint under the file settings.
    static QString namingHint(const std::string& output, int64_t movieCount);

    void chooseSize(const std::string& choice);
    // Asks for a folder with the desktop's chooser; a chosen one goes to the controller.
    void chooseFolder();

    QComboBox* codecMenu() const { return codec_; }
    QComboBox* fpsMenu() const { return fps_; }
    QLineEdit* bitrateField() const { return bitrate_; }
    QComboBox* soundMenu() const { return sound_; }
    QLabel* soundNote() const { return soundNote_; }
    LayoutPicker* layoutPicker() const { return layoutPicker_; }
    QLineEdit* gapField() const { return gap_; }
    QComboBox* sizeMenu() const { return size_; }
    QLineEdit* widthField() const { return width_; }
    QLineEdit* heightField() const { return height_; }
    QWidget* customSizeRow() const { return customRow_; }
    QPushButton* folderButton() const { return folder_; }
    QLineEdit* nameField() const { return name_; }
    QLabel* namingHintLabel() const { return hint_; }
    QCheckBox* performanceSwitch() const { return performance_; }
    QComboBox* languageMenu() const { return language_; }
    QScrollArea* scrollArea() const { return scroll_; }
    bool customSize() const { return customSize_; }

    // Adds a control at the end of the display section (the updater's, from outside the view).
    void addToDisplaySection(QWidget* control);

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void buildMovieSection(QWidget* content, QVBoxLayout* column);
    void buildAssembledSection(QWidget* content, QVBoxLayout* column);
    void buildFilesSection(QWidget* content, QVBoxLayout* column);
    void buildDisplaySection(QWidget* content, QVBoxLayout* column);

    // Shows the model's current values and texts.
    void refresh();
    void retranslate();
    void showMovie();
    void showAssembled();
    void showFiles();
    void showFolder();
    void showDisplay();
    // Widens the label column and the controls to their texts.
    void fitControlsToTexts();
    // Widens the view to what its column needs.
    void fitWidthToContent();

    RecorderModel& model_;
    bool customSize_ = false;
    bool updating_ = false;

    QLabel* movieTitle_ = nullptr;
    QLabel* assembledTitle_ = nullptr;
    QLabel* filesTitle_ = nullptr;
    QLabel* displayTitle_ = nullptr;
    QScrollArea* scroll_ = nullptr;
    QWidget* content_ = nullptr;
    QVBoxLayout* column_ = nullptr;
    QLabel* codecLabel_ = nullptr;
    QLabel* fpsLabel_ = nullptr;
    QLabel* bitrateLabel_ = nullptr;
    QLabel* bitrateUnit_ = nullptr;
    QLabel* soundLabel_ = nullptr;
    QLabel* gapLabel_ = nullptr;
    QLabel* gapUnit_ = nullptr;
    QLabel* sizeLabel_ = nullptr;
    QLabel* widthLabel_ = nullptr;
    QLabel* heightLabel_ = nullptr;
    QLabel* folderLabel_ = nullptr;
    QLabel* nameLabel_ = nullptr;
    QLabel* languageLabel_ = nullptr;
    QLabel* performanceNote_ = nullptr;

    QComboBox* codec_ = nullptr;
    QComboBox* fps_ = nullptr;
    QLineEdit* bitrate_ = nullptr;
    QComboBox* sound_ = nullptr;
    QLabel* soundNote_ = nullptr;
    LayoutPicker* layoutPicker_ = nullptr;
    QLineEdit* gap_ = nullptr;
    QComboBox* size_ = nullptr;
    QWidget* customRow_ = nullptr;
    QLineEdit* width_ = nullptr;
    QLineEdit* height_ = nullptr;
    QPushButton* folder_ = nullptr;
    QLineEdit* name_ = nullptr;
    QLabel* hint_ = nullptr;
    QCheckBox* performance_ = nullptr;
    QComboBox* language_ = nullptr;
};

}  // namespace zarvo

// The window's views against a real recorder controller: what each control shows and calls,
// what is disabled during a take, the caption, the size menu, the monitor's drawing, and
// pictures of the window in both languages.
#include <QAbstractButton>
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QPushButton>
#include <QTest>
#include <QToolButton>

#include <map>
#include <set>

#include "App/DisplayProbe.h"
#include "App/ui/ContentView.h"
#include "App/ui/InspectorChoices.h"
#include "App/ui/InspectorView.h"
#include "App/ui/LayoutPicker.h"
#include "App/ui/MainWindow.h"
#include "App/ui/MenuBar.h"
#include "App/ui/MonitorView.h"
#include "App/ui/RecordButton.h"
#include "App/ui/SourceRow.h"
#include "App/ui/SourcesSidebar.h"
#include "App/ui/StatusBar.h"
#include "App/ui/TakeBar.h"
#include "App/ui/Theme.h"
#include "App/ui/TimeFormat.h"
#include "tests/App/ModelFixture.h"
#include "tests/App/Screenshots.h"

namespace zarvo {
namespace {

using test::ModelFixture;

class MainWindowTest : public ModelFixture {
  protected:
    void SetUp() override {
        ModelFixture::SetUp();
        window_ = std::make_unique<MainWindow>(*model_, [this] { ++quitRequests_; });
        window_->show();
        QCoreApplication::processEvents();
    }
    void TearDown() override {
        window_.reset();
        ModelFixture::TearDown();
    }

    ContentView& content() { return *window_->content(); }
    InspectorView& inspector() { return *content().inspector(); }
    SourcesSidebar& sidebar() { return *content().sidebar(); }
    TakeBar& takeBar() { return *content().takeBar(); }

    static void choose(QComboBox* menu, const QVariant& data) {
        const int index = menu->findData(data);
        ASSERT_GE(index, 0) << data.toString().toStdString();
        menu->setCurrentIndex(index);
        emit menu->activated(index);
    }
    static void type(QLineEdit* field, const QString& text) {
        field->setText(text);
        emit field->editingFinished();
    }
    static QStringList entries(QComboBox* menu) {
        QStringList texts;
        for (int i = 0; i < menu->count(); ++i) {
            texts << menu->itemText(i);
        }
        return texts;
    }

    std::unique_ptr<MainWindow> window_;
    int quitRequests_ = 0;
};

TEST_F(MainWindowTest, WindowHasItsSizesAndClosingAsksForTheQuitPath) {
    EXPECT_EQ(window_->minimumSize(), QSize(900, 520));
    EXPECT_EQ(window_->size(), QSize(1200, 700));
    EXPECT_EQ(sidebar().width(), 230);
    EXPECT_GE(inspector().width(), InspectorView::kWidth);  // wider for longer texts
    window_->close();
    EXPECT_EQ(quitRequests_, 1);
    EXPECT_TRUE(window_->isVisible());  // the quit path closes it once the movies are done
    window_->menus()->quitAction()->trigger();
    EXPECT_EQ(quitRequests_, 2);
    EXPECT_EQ(window_->menus()->quitAction()->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Q));
    window_->allowClose();
    window_->close();
    EXPECT_FALSE(window_->isVisible());
    EXPECT_EQ(quitRequests_, 2);
}

TEST_F(MainWindowTest, SidebarTicksUntIcksAndMovesSources) {
    ASSERT_EQ(sidebar().availableRows().size(), 3u);
    EXPECT_FALSE(sidebar().noneYet()->isVisibleTo(&sidebar()));
    SourceRow* camera = sidebar().availableRows()[0];
    EXPECT_EQ(camera->checkBox()->accessibleName(), QStringLiteral("Record Camera - Studio"));
    camera->checkBox()->click();
    ASSERT_EQ(controller_->places().size(), 1u);
    EXPECT_EQ(controller_->places()[0]->title(), "Camera - Studio");
    for (int i = 0; i < 2; ++i) {
        sidebar().availableRows()[0]->checkBox()->click();
    }
    ASSERT_EQ(controller_->places().size(), 3u);
    EXPECT_TRUE(sidebar().noneYet()->isVisibleTo(&sidebar()));
    EXPECT_EQ(sidebar().noneYet()->text(), QStringLiteral("None yet"));

    // The NDI source has its badge; chosen rows are named for unticking.
    SourceRow* host = sidebar().placeRows()[2];
    EXPECT_TRUE(host->values().isNDI);
    ASSERT_NE(host->findChild<QLabel*>("ndi"), nullptr);
    EXPECT_EQ(host->findChild<QLabel*>("ndi")->accessibleName(), QStringLiteral("NDI source"));
    EXPECT_EQ(host->checkBox()->accessibleName(), QStringLiteral("Stop recording HOST (Mixer)"));
    // Never had a picture: "Waiting for it", dimmed.
    EXPECT_EQ(host->values().detail, QStringLiteral("Waiting for it"));
    EXPECT_TRUE(host->values().isDimmed);

    // Row 0 dropped before row 3 (below the last): it becomes the last place.
    sidebar().movePlace(0, 3);
    EXPECT_EQ(controller_->places()[2]->title(), "Camera - Studio");
    // The last row dropped before row 0: first again.
    sidebar().movePlace(2, 0);
    EXPECT_EQ(controller_->places()[0]->title(), "Camera - Studio");
    // Dropped on its own place: nothing moves.
    sidebar().movePlace(1, 2);
    EXPECT_EQ(controller_->places()[1]->title(), "Stage - Lights");

    sidebar().placeRows()[1]->checkBox()->click();
    ASSERT_EQ(controller_->places().size(), 2u);
    EXPECT_EQ(controller_->places()[1]->title(), "HOST (Mixer)");
}

TEST_F(MainWindowTest, PlaceDetailTellsSizeRateOrWhyNot) {
    RecorderModel::Place place;
    place.isOnline = true;
    place.width = 1920;
    place.height = 1080;
    place.fps = 29.7;
    EXPECT_EQ(SourcesSidebar::placeDetail(place), QString::fromUtf8("1920 × 1080 · 30 fps"));
    place.isOnline = false;
    EXPECT_EQ(SourcesSidebar::placeDetail(place), QStringLiteral("Away"));
    place.width = 0;
    EXPECT_EQ(SourcesSidebar::placeDetail(place), QStringLiteral("Waiting for it"));
    language::set(AppLanguage::fr, *defaults_, false);
    EXPECT_EQ(SourcesSidebar::placeDetail(place), QStringLiteral("En attente"));
    place.isOnline = true;
    place.width = 640;
    place.height = 360;
    EXPECT_EQ(SourcesSidebar::placeDetail(place), QString::fromUtf8("640 × 360 · 30 i/s"));

    // A source that has gone away stays chosen, dimmed.
    chooseOnline("Stage - Lights");
    pumps_.back()->stopPumping();
    ASSERT_TRUE(waitFor([&] {
        return sidebar().placeRows().size() == 1 &&
               sidebar().placeRows()[0]->values().detail == QStringLiteral("Absente");
    }));
    EXPECT_TRUE(sidebar().placeRows()[0]->values().isDimmed);
}

TEST_F(MainWindowTest, InspectorControlsSetTheController) {
    InspectorView& view = inspector();
    choose(view.codecMenu(), QStringLiteral("prores4444"));
    EXPECT_EQ(controller_->codec(), "prores4444");
    EXPECT_FALSE(view.bitrateField()->isEnabled());  // ProRes has no bitrate
    choose(view.codecMenu(), QStringLiteral("hevc"));
    EXPECT_TRUE(view.bitrateField()->isEnabled());
    EXPECT_EQ(view.bitrateField()->placeholderText(), QStringLiteral("Automatic"));
    type(view.bitrateField(), QStringLiteral("25.5"));
    EXPECT_EQ(controller_->bitrate(), 25.5);
    type(view.bitrateField(), QString());
    EXPECT_EQ(controller_->bitrate(), 0);

    EXPECT_EQ(entries(view.fpsMenu()),
              (QStringList{"Same as source", "24", "25", "30", "50", "60"}));
    choose(view.fpsMenu(), 25.0);
    EXPECT_EQ(controller_->fps(), 25);
    // A rate set remotely is added at the end.
    controller_->setFps(29.97);
    EXPECT_EQ(entries(view.fpsMenu()).last(), QStringLiteral("29.97"));
    EXPECT_EQ(view.fpsMenu()->currentText(), QStringLiteral("29.97"));

    // The layout picker only applies to assembled pictures.
    EXPECT_FALSE(view.layoutPicker()->isPickerEnabled());
    controller_->setOutput("assembled");
    EXPECT_TRUE(view.layoutPicker()->isPickerEnabled());
    view.layoutPicker()->button("focus")->click();
    EXPECT_EQ(controller_->layout(), "focus");
    EXPECT_EQ(view.layoutPicker()->button("grid")->accessibleName(), QStringLiteral("Mosaic"));
    EXPECT_EQ(view.layoutPicker()->button("grid")->toolTip(), QStringLiteral("Mosaic"));

    type(view.gapField(), QStringLiteral("12"));
    EXPECT_EQ(controller_->gap(), 12);
    type(view.nameField(), QStringLiteral("Concert"));
    EXPECT_EQ(controller_->name(), "Concert");
    EXPECT_EQ(view.nameField()->placeholderText(), QStringLiteral("Date and time"));

    view.performanceSwitch()->click();
    EXPECT_TRUE(controller_->performance());

    // Sound: none, the computer, then the sources that may carry sound.
    ASSERT_TRUE(controller_->addSourceMatching("HOST"));
    EXPECT_EQ(entries(view.soundMenu()), (QStringList{"None", "Computer", "HOST (Mixer)"}));
    choose(view.soundMenu(), QStringLiteral("computer"));
    EXPECT_EQ(controller_->sound(), "computer");
    choose(view.soundMenu(), QStringLiteral("HOST (Mixer)"));
    EXPECT_EQ(controller_->sound(), "HOST (Mixer)");
    EXPECT_FALSE(view.soundNote()->isVisibleTo(&view));
    controller_->removeSourceAtPlace(1);
    EXPECT_EQ(entries(view.soundMenu()).last(), QStringLiteral("HOST (Mixer) (not selected)"));
    EXPECT_TRUE(view.soundNote()->isVisibleTo(&view));
    EXPECT_EQ(view.soundNote()->text(),
              QStringLiteral("HOST (Mixer) is not selected: the assembled movie has no sound."));

    // The language menu sets the interface language.
    choose(view.languageMenu(), 1);
    EXPECT_EQ(language::current(), AppLanguage::fr);
    EXPECT_EQ(view.fpsMenu()->itemText(0), QString::fromUtf8("Identique à la source"));
    EXPECT_EQ(takeBar().outputButton(0)->text(), QString::fromUtf8("Séparés"));
}

TEST_F(MainWindowTest, SizeMenuShowsPresetsCustomAndAutomatic) {
    EXPECT_EQ(inspector::sizeChoice(false, 0, 0), "auto");
    EXPECT_EQ(inspector::sizeChoice(false, 1920, 0), "auto");
    EXPECT_EQ(inspector::sizeChoice(false, 1920, 1080), "1920x1080");
    EXPECT_EQ(inspector::sizeChoice(false, 3840, 2160), "3840x2160");
    EXPECT_EQ(inspector::sizeChoice(false, 1280, 720), "custom");
    EXPECT_EQ(inspector::sizeChoice(true, 1920, 1080), "custom");

    // Custom keeps a size already set, else takes the picture's (capped), else 1920 × 1080.
    auto custom = inspector::sizeForChoice("custom", 1280, 720, 5000, 1000);
    EXPECT_EQ(custom.width, 1280);
    EXPECT_EQ(custom.height, 720);
    custom = inspector::sizeForChoice("custom", 0, 0, 20000, 1080);
    EXPECT_EQ(custom.width, 16384);
    EXPECT_EQ(custom.height, 1080);
    custom = inspector::sizeForChoice("custom", 0, 0, 0, 0);
    EXPECT_EQ(custom.width, 1920);
    EXPECT_EQ(custom.height, 1080);

    InspectorView& view = inspector();
    EXPECT_EQ(view.sizeMenu()->currentData().toString(), QStringLiteral("auto"));
    EXPECT_FALSE(view.customSizeRow()->isVisibleTo(&view));
    controller_->setWidth(1920);
    controller_->setHeight(1080);
    EXPECT_EQ(view.sizeMenu()->currentData().toString(), QStringLiteral("1920x1080"));
    controller_->setWidth(1280);
    controller_->setHeight(720);
    EXPECT_EQ(view.sizeMenu()->currentData().toString(), QStringLiteral("custom"));
    EXPECT_TRUE(view.customSizeRow()->isVisibleTo(&view));
    EXPECT_EQ(view.widthField()->text(), QStringLiteral("1280"));
    type(view.heightField(), QStringLiteral("800"));
    EXPECT_EQ(controller_->height(), 800);

    choose(view.sizeMenu(), QStringLiteral("auto"));
    EXPECT_EQ(controller_->width(), 0);
    EXPECT_EQ(controller_->height(), 0);
    choose(view.sizeMenu(), QStringLiteral("3840x2160"));
    EXPECT_EQ(controller_->width(), 3840);
    EXPECT_EQ(controller_->height(), 2160);
    // Custom chosen on a preset keeps its numbers and stays "custom" although they match one.
    choose(view.sizeMenu(), QStringLiteral("custom"));
    EXPECT_TRUE(view.customSize());
    EXPECT_EQ(controller_->width(), 3840);
    EXPECT_EQ(view.sizeMenu()->currentData().toString(), QStringLiteral("custom"));
    EXPECT_TRUE(view.customSizeRow()->isVisibleTo(&view));
}

TEST_F(MainWindowTest, NamingHintFollowsTheOutputAndTheMovieCount) {
    EXPECT_EQ(InspectorView::namingHint("both", 3),
              QString::fromUtf8("The assembled movie has the name; each source’s adds its title."));
    EXPECT_EQ(InspectorView::namingHint("assembled", 1),
              QStringLiteral("A movie is never overwritten: a number is added."));
    EXPECT_EQ(InspectorView::namingHint("separate", 2),
              QString::fromUtf8("Each movie adds its source’s title to the name."));
    EXPECT_EQ(InspectorView::namingHint("separate", 1),
              QStringLiteral("A movie is never overwritten: a number is added."));
    ASSERT_TRUE(controller_->addSourceMatching("Camera"));
    ASSERT_TRUE(controller_->addSourceMatching("Stage"));
    EXPECT_EQ(inspector().namingHintLabel()->text(), InspectorView::namingHint("separate", 2));
}

TEST_F(MainWindowTest, TakeBarRecordsAndDisablesWhatCannotChangeDuringATake) {
    chooseOnline("Camera - Studio");
    chooseOnline("HOST (Mixer)", 160, 120);
    controller_->setOutput("both");
    RecordButton* record = takeBar().recordButton();
    EXPECT_EQ(record->accessibleName(), QStringLiteral("Record"));
    EXPECT_EQ(record->toolTip(), QStringLiteral("Record the sources chosen (Ctrl+R)"));
    EXPECT_EQ(window_->menus()->recordAction()->text(), QStringLiteral("Start Recording"));
    EXPECT_EQ(window_->menus()->recordAction()->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_R));

    record->click();
    ASSERT_TRUE(waitFor([&] { return model_->state() == "recording"; }));
    EXPECT_TRUE(record->isRecording());
    EXPECT_EQ(record->accessibleName(), QStringLiteral("Stop recording"));
    EXPECT_EQ(window_->menus()->recordAction()->text(), QStringLiteral("Stop Recording"));
    // Sources, sound, layout and output are fixed for the take; the display is not.
    EXPECT_FALSE(sidebar().placeRows()[0]->isEnabled());
    EXPECT_FALSE(inspector().soundMenu()->isEnabled());
    EXPECT_FALSE(inspector().layoutPicker()->isEnabled());
    EXPECT_FALSE(takeBar().outputButton(0)->isEnabled());
    EXPECT_TRUE(inspector().performanceSwitch()->isEnabled());
    EXPECT_TRUE(inspector().languageMenu()->isEnabled());
    ASSERT_TRUE(waitFor([&] { return model_->frames() > 0; }));
    EXPECT_TRUE(takeBar().caption()->text().contains(QStringLiteral(" frames · ")));
    EXPECT_TRUE(takeBar().caption()->text().contains(QStringLiteral(" dropped")));

    // Performance mode during the take limits the display at once.
    inspector().performanceSwitch()->click();
    EXPECT_TRUE(model_->displayIsLimited());
    EXPECT_EQ(content().monitor()->textureView()->rate(), 10);
    EXPECT_TRUE(content().monitor()->limitedLabel()->isVisibleTo(content().monitor()));

    // The menu's command stops it, as the button would.
    window_->menus()->recordAction()->trigger();
    ASSERT_TRUE(waitFor([&] { return model_->state() == "idle"; }, 60));
    EXPECT_EQ(content().monitor()->textureView()->rate(), TextureView::fullRate());
    EXPECT_GE(TextureView::fullRate(), 60);
    EXPECT_TRUE(sidebar().placeRows()[0]->isEnabled());
    EXPECT_TRUE(takeBar().outputButton(0)->isEnabled());
    EXPECT_EQ(model_->failure(), "");
}

TEST_F(MainWindowTest, MarkerButtonAndCtrlMMarkTheTakeWhileRecording) {
    chooseOnline("Camera - Studio");
    QPushButton* marker = takeBar().markerButton();
    QAction* markerAction = window_->menus()->markerAction();
    EXPECT_FALSE(marker->isEnabled()) << "nothing to mark before a take";
    EXPECT_FALSE(markerAction->isEnabled());
    EXPECT_EQ(markerAction->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_M));
    EXPECT_EQ(marker->text(), QString::fromUtf8("◆ Marker"));
    EXPECT_EQ(marker->accessibleName(), QStringLiteral("Add a marker"));
    EXPECT_TRUE(marker->toolTip().endsWith(QStringLiteral("(Ctrl+M)")));
    EXPECT_EQ(markerAction->text(), QStringLiteral("Add Marker"));

    takeBar().recordButton()->click();
    ASSERT_TRUE(waitFor([&] { return model_->state() == "recording"; }));
    EXPECT_TRUE(marker->isEnabled());
    EXPECT_TRUE(markerAction->isEnabled());
    marker->click();
    QTest::keyClick(window_.get(), Qt::Key_M, Qt::ControlModifier);
    EXPECT_EQ(controller_->markers(), 2u);
    const auto markers = controller_->take()->markers();
    ASSERT_EQ(markers.size(), 2u);
    EXPECT_EQ(markers[0].name, "Marker 1");
    EXPECT_EQ(markers[1].name, "Marker 2");

    language::set(AppLanguage::fr, *defaults_, false);
    QCoreApplication::processEvents();
    EXPECT_EQ(marker->text(), QString::fromUtf8("◆ Marqueur"));
    EXPECT_EQ(marker->accessibleName(), QStringLiteral("Ajouter un marqueur"));
    EXPECT_TRUE(marker->toolTip().contains(QString::fromUtf8("l’enregistrement\u00a0:")));
    EXPECT_EQ(markerAction->text(), QStringLiteral("Ajouter un marqueur"));

    takeBar().recordButton()->click();
    ASSERT_TRUE(waitFor([&] { return model_->state() == "idle"; }, 60));
    EXPECT_FALSE(marker->isEnabled());
    EXPECT_EQ(controller_->markers(), 2u);
}

TEST_F(MainWindowTest, MonitorIsComposedOnlyWhileTheWindowIsSeen) {
    chooseOnline("Camera - Studio", 1920, 1080);
    TextureView& view = *content().monitor()->textureView();
    const auto seen = [&](bool expected) {
        return waitFor([&] {
            view.poll();
            return controller_->picture()->monitorShown() == expected;
        });
    };
    ASSERT_TRUE(seen(true));
    EXPECT_TRUE(waitFor([&] { return controller_->assembledFrame() != nullptr; }));

    window_->showMinimized();
    ASSERT_TRUE(seen(false));
    EXPECT_EQ(controller_->assembledFrame(), nullptr);

    window_->showNormal();
    ASSERT_TRUE(seen(true));
    EXPECT_TRUE(waitFor([&] { return controller_->assembledFrame() != nullptr; }));
}

TEST_F(MainWindowTest, CaptionPrefersNoticeThenFailureThenCountsThenFinishing) {
    auto caption = [&] { return TakeCaption::of(*model_); };
    EXPECT_EQ(caption().kind, TakeCaption::Kind::none);

    controller_->setState("finishing");
    controller_->changed();
    EXPECT_EQ(caption().kind, TakeCaption::Kind::finishing);
    EXPECT_EQ(caption().text(), QString::fromUtf8("Finishing the movies…"));

    controller_->setState("recording");
    controller_->changed();
    EXPECT_EQ(caption().kind, TakeCaption::Kind::counts);
    EXPECT_EQ(caption().text(), QString::fromUtf8("0 frames · 0 dropped"));
    EXPECT_EQ(caption().parts[0].colour, theme::textDim);

    controller_->setRecordingError("The disk is full");
    controller_->changed();
    EXPECT_EQ(caption().kind, TakeCaption::Kind::failure);
    EXPECT_EQ(caption().parts[0].colour, theme::record);
    EXPECT_TRUE(caption().warning);
    EXPECT_EQ(content().statusBar()->failureLabel()->text(), QStringLiteral("The disk is full"));

    controller_->setError("Nothing matches “x”");
    EXPECT_EQ(caption().kind, TakeCaption::Kind::notice);
    EXPECT_EQ(caption().parts[0].colour, theme::accent);
    EXPECT_EQ(takeBar().caption()->toolTip(), QString::fromUtf8("Nothing matches “x”"));

    controller_->setRecordingError("");
    controller_->setState("idle");
    controller_->setError("");
    EXPECT_EQ(caption().kind, TakeCaption::Kind::none);

    EXPECT_EQ(TakeCaption::soundDuration(9.96), QStringLiteral("10.0 s"));
    EXPECT_EQ(TakeCaption::soundDuration(12.4), QStringLiteral("12 s"));
    EXPECT_EQ(TakeCaption::soundDuration(0.5), QStringLiteral("0.5 s"));
}

TEST_F(MainWindowTest, ClockStatusBarAndByteCounts) {
    EXPECT_EQ(TimeFormat::clock(0), QStringLiteral("0:00"));
    EXPECT_EQ(TimeFormat::clock(-4), QStringLiteral("0:00"));
    EXPECT_EQ(TimeFormat::clock(59.9), QStringLiteral("0:59"));
    EXPECT_EQ(TimeFormat::clock(3599), QStringLiteral("59:59"));
    EXPECT_EQ(TimeFormat::clock(3600), QStringLiteral("1:00:00"));
    EXPECT_EQ(TimeFormat::clock(36061), QStringLiteral("10:01:01"));
    EXPECT_EQ(takeBar().clock()->text(), QStringLiteral("0:00"));

    EXPECT_EQ(StatusBar::byteCount(999), QStringLiteral("999 bytes"));
    EXPECT_EQ(StatusBar::byteCount(12'345), QString::fromUtf8("12\u00a0KB"));
    EXPECT_EQ(StatusBar::byteCount(12'345'678), QString::fromUtf8("12.3\u00a0MB"));
    EXPECT_EQ(StatusBar::byteCount(82'430'000'000), QString::fromUtf8("82.43\u00a0GB"));
    EXPECT_EQ(StatusBar::byteCount(1'000'000'000'000), QString::fromUtf8("1\u00a0TB"));
    EXPECT_EQ(StatusBar::summary(std::nullopt, 1), QStringLiteral("1 movie"));
    EXPECT_EQ(StatusBar::summary(12'345, 3), QString::fromUtf8("12\u00a0KB free · 3 movies"));

    StatusBar& bar = *content().statusBar();
    EXPECT_EQ(bar.portsLabel()->text(), QStringLiteral("OSC is not available"));
    EXPECT_EQ(bar.ndiLabel()->text(), QStringLiteral("NDI off"));
    EXPECT_EQ(bar.ndiLabel()->toolTip(), QStringLiteral("no NDI here"));
    EXPECT_EQ(bar.versionLabel()->text(), QStringLiteral("vdev"));
    EXPECT_TRUE(bar.summaryLabel()->text().endsWith(QStringLiteral(" free · 0 movies")));

    language::set(AppLanguage::fr, *defaults_, false);
    EXPECT_EQ(StatusBar::byteCount(82'430'000'000), QString::fromUtf8("82,43\u00a0Go"));
    EXPECT_EQ(StatusBar::summary(std::nullopt, 2), QStringLiteral("2 films"));
    ASSERT_TRUE(waitFor([&] { return bar.ndiLabel()->text() == QStringLiteral("NDI inactif"); }));
    EXPECT_EQ(bar.portsLabel()->text(), QStringLiteral("OSC non disponible"));
}

TEST_F(MainWindowTest, LanguageMenuListsTheThreeCasesAndChecksTheCurrentOne) {
    MenuBar& menus = *window_->menus();
    EXPECT_EQ(menus.languageMenu()->title(), QStringLiteral("Language"));
    EXPECT_EQ(menus.languageAction(0)->text(), QStringLiteral("System"));
    EXPECT_EQ(menus.languageAction(1)->text(), QString::fromUtf8("Français"));
    EXPECT_EQ(menus.languageAction(2)->text(), QStringLiteral("English"));
    EXPECT_TRUE(menus.languageAction(2)->isChecked());
    menus.languageAction(1)->trigger();
    EXPECT_EQ(model_->language(), AppLanguage::fr);
    EXPECT_EQ(defaults_->stringForKey(language::kLanguageKey), "fr");
    ASSERT_TRUE(waitFor([&] { return menus.languageMenu()->title() == QStringLiteral("Langue"); }));
    EXPECT_TRUE(menus.languageAction(1)->isChecked());
    EXPECT_EQ(menus.languageAction(0)->text(), QString::fromUtf8("Système"));
    EXPECT_EQ(menus.recordAction()->text(), QString::fromUtf8("Démarrer l’enregistrement"));
    EXPECT_EQ(menus.quitAction()->text(), QStringLiteral("Quitter"));
}

// --- The monitor -----------------------------------------------------------------------------

TEST(MonitorGeometryTest, PicturesAreFittedCentredAndNeverEmpty) {
    // Wider than the view: bars above and below; taller: bars left and right.
    EXPECT_EQ(TextureView::fittedRect({200, 100}, {100, 100}), QRectF(0, 25, 100, 50));
    EXPECT_EQ(TextureView::fittedRect({100, 200}, {100, 100}), QRectF(25, 0, 50, 100));
    EXPECT_EQ(TextureView::fittedRect({0, 100}, {100, 100}), QRectF());
    EXPECT_EQ(MonitorView::shownSize({1920, 1080}, {960, 1000}), QSizeF(960, 540));
    EXPECT_EQ(MonitorView::shownSize({0, 1080}, {960, 1000}), QSizeF(1, 1));
    EXPECT_EQ(MonitorView::shownSize({1920, 0}, {960, 1000}), QSizeF(1, 1));
}

// A texture whose top half is red and bottom half blue, its fourth byte fully transparent.
gpu::TextureRef TwoColours(int width, int height) {
    auto texture = gpu::Texture::make(width, height);
    for (int y = 0; y < height; ++y) {
        uint8_t* row = texture->row(y);
        for (int x = 0; x < width; ++x) {
            const bool top = y < height / 2;
            row[4 * x + 0] = top ? 0 : 255;  // blue
            row[4 * x + 1] = 0;
            row[4 * x + 2] = top ? 255 : 0;  // red
            row[4 * x + 3] = 0;
        }
    }
    return texture;
}

TEST(MonitorDrawingTest, DrawsLetterboxedOpaqueAndUprightOnlyWhenThePictureChanges) {
    TextureView::Frame frame{TwoColours(200, 100), false, 0};
    int asked = 0;
    TextureView view(
        [&] {
            ++asked;
            return frame;
        },
        false);
    view.resize(100, 100);
    view.poll();
    QImage image = view.grab().toImage();
    // Bars of black above and below the 100 × 50 picture; the picture opaque, whatever alpha.
    EXPECT_EQ(QColor(image.pixel(50, 10)), QColor(Qt::black));
    EXPECT_EQ(QColor(image.pixel(50, 90)), QColor(Qt::black));
    EXPECT_EQ(QColor(image.pixel(50, 32)), QColor(255, 0, 0));
    EXPECT_EQ(QColor(image.pixel(50, 68)), QColor(0, 0, 255));
    EXPECT_EQ(view.picturesDrawn(), 1u);

    // The same picture again is not counted as a new one.
    view.poll();
    view.grab();
    EXPECT_EQ(view.picturesDrawn(), 1u);

    // A picture stored bottom row first is shown upright: red (its first rows) at the bottom.
    frame = {TwoColours(200, 100), true, 0};
    view.poll();
    image = view.grab().toImage();
    EXPECT_EQ(QColor(image.pixel(50, 32)), QColor(0, 0, 255));
    EXPECT_EQ(QColor(image.pixel(50, 68)), QColor(255, 0, 0));
    EXPECT_EQ(view.picturesDrawn(), 2u);
    EXPECT_GE(asked, 3);

    view.setLimited(true);
    EXPECT_EQ(view.rate(), 10);
    view.setLimited(false);
    EXPECT_EQ(view.rate(), TextureView::fullRate());
}

class MonitorTagTest : public ModelFixture {};

TEST_F(MonitorTagTest, TagsTellOnlineWaitingAndAwayAndAreAtLeastTwentyWide) {
    EXPECT_TRUE(
        MonitorView::titleTags(*model_, {640, 360}, theme::font(11), theme::font(10)).empty());
    chooseOnline("Camera - Studio");
    ASSERT_TRUE(controller_->addSourceMatching("HOST"));
    controller_->setOutput("assembled");
    auto tags = MonitorView::titleTags(*model_, {640, 360}, theme::font(11), theme::font(10));
    ASSERT_EQ(tags.size(), 2u);
    EXPECT_TRUE(tags[0].online);
    EXPECT_EQ(tags[0].status, QString());
    EXPECT_FALSE(tags[1].online);
    EXPECT_EQ(tags[1].status, QStringLiteral("Waiting"));
    const Rect r0 = model_->titleRects()[0];
    EXPECT_DOUBLE_EQ(tags[0].rect.x(), r0.x * 640 + 4);
    EXPECT_DOUBLE_EQ(tags[0].rect.y(), r0.y * 360 + 4);
    EXPECT_LE(tags[0].rect.width(), std::max(20.0, r0.width * 640 - 8));

    // A tiny picture still gets tags at least 20 wide.
    tags = MonitorView::titleTags(*model_, {10, 5}, theme::font(11), theme::font(10));
    EXPECT_DOUBLE_EQ(tags[0].rect.width(), 20);

    pumps_[0]->stopPumping();
    ASSERT_TRUE(waitFor([&] { return !model_->places()[0].isOnline; }));
    tags = MonitorView::titleTags(*model_, {640, 360}, theme::font(11), theme::font(10));
    EXPECT_EQ(tags[0].status, QStringLiteral("Away"));
}

// --- The display probe -----------------------------------------------------------------------

TEST(DisplayProbeTest, ChoosesAPlatformThatCanOpenItsDisplayOrNone) {
    std::map<std::string, std::string> environment;
    bool x11 = true;
    bool wayland = true;
    std::set<std::string> plugins = {"xcb", "offscreen"};
    app::DisplayProbe probe{
        .environment = [&](const char* name) -> const char* {
            auto found = environment.find(name);
            return found == environment.end() ? nullptr : found->second.c_str();
        },
        .pluginExists = [&](const std::string& name) { return plugins.count(name) > 0; },
        .canConnectX11 = [&] { return x11; },
        .canConnectWayland = [&] { return wayland; },
    };
    EXPECT_EQ(probe.choosePlatform(), std::nullopt);  // no display named
    environment["DISPLAY"] = ":0";
    EXPECT_EQ(probe.choosePlatform(), "xcb");
    x11 = false;
    EXPECT_EQ(probe.choosePlatform(), std::nullopt);  // named but cannot be opened
    // Wayland without its plug-in is passed over.
    environment["WAYLAND_DISPLAY"] = "wayland-0";
    EXPECT_EQ(probe.choosePlatform(), std::nullopt);
    plugins.insert("wayland");
    EXPECT_EQ(probe.choosePlatform(), "wayland");
    wayland = false;
    x11 = true;
    EXPECT_EQ(probe.choosePlatform(), "xcb");
    // The user's own choice is tried in its order; platforms without a server are taken.
    environment["QT_QPA_PLATFORM"] = "offscreen";
    EXPECT_EQ(probe.choosePlatform(), "offscreen");
    environment["QT_QPA_PLATFORM"] = "wayland;xcb:nograb";
    EXPECT_EQ(probe.choosePlatform(), "xcb");
    environment["DISPLAY"] = "";
    EXPECT_EQ(probe.choosePlatform(), std::nullopt);
}

// --- Pictures of the window ------------------------------------------------------------------

class WindowPictureTest : public MainWindowTest, public ::testing::WithParamInterface<AppLanguage> {
  protected:
    void SetUp() override {
        MainWindowTest::SetUp();
        language::set(GetParam(), *defaults_, false);
        QCoreApplication::processEvents();
    }
    QString suffix() const { return GetParam() == AppLanguage::fr ? "-fr" : "-en"; }
    void shoot(const QString& name) {
        QCoreApplication::processEvents();
        content().monitor()->textureView()->poll();
        const QSize size(MainWindow::kDefaultWidth, MainWindow::kDefaultHeight);
        const QImage image = test::saveScreenshot(*window_, name + suffix(), size);
        EXPECT_EQ(image.size(), size);
    }
};

TEST_P(WindowPictureTest, NoSource) {
    ASSERT_TRUE(waitFor([&] { return content().monitor()->emptyState()->isVisible(); }));
    shoot("window-no-source");
}

TEST_P(WindowPictureTest, TwoSourcesRecording) {
    chooseOnline("Camera - Studio", 1920, 1080);
    chooseOnline("HOST (Mixer)", 1280, 720);
    controller_->setOutput("both");
    controller_->setLayout("grid");
    controller_->setSound("HOST (Mixer)");
    startTake();
    ASSERT_TRUE(waitFor([&] { return model_->frames() > 10; }));
    shoot("window-recording");
}

TEST_P(WindowPictureTest, ErrorNotice) {
    chooseOnline("Stage - Lights", 1280, 720);
    controller_->setError("No source matches “Projector”");
    shoot("window-error");
}

TEST_P(WindowPictureTest, SourceGoneAway) {
    chooseOnline("Camera - Studio", 1280, 720);
    chooseOnline("Stage - Lights", 1280, 720);
    ASSERT_TRUE(controller_->addSourceMatching("HOST"));
    controller_->setOutput("assembled");
    pumps_[1]->stopPumping();
    ASSERT_TRUE(waitFor([&] { return !model_->places()[1].isOnline; }));
    shoot("window-source-away");
}

TEST_P(WindowPictureTest, PerformanceModeWhileRecording) {
    chooseOnline("Camera - Studio", 1280, 720);
    controller_->setPerformance(true);
    controller_->setOutput("assembled");
    controller_->setCodec("prores422");
    startTake();
    ASSERT_TRUE(waitFor([&] { return model_->displayIsLimited(); }))
        << model_->state() << " " << model_->failure() << " " << model_->notice();
    shoot("window-performance");
}

INSTANTIATE_TEST_SUITE_P(Languages, WindowPictureTest,
                         ::testing::Values(AppLanguage::en, AppLanguage::fr),
                         [](const ::testing::TestParamInfo<AppLanguage>& param) {
                             return param.param == AppLanguage::fr ? "French" : "English";
                         });

}  // namespace
}  // namespace zarvo

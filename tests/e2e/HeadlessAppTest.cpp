// The recorder application without a window: its settings migration and startup helpers, its
// quit path in this process, and the real program run as a child process with its settings,
// registry and runtime folders in a temporary folder.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "App/CommandLine.h"
#include "App/HeadlessApp.h"
#include "App/SettingsMigration.h"
#include "engine/RecorderController.h"
#include "engine/Take.h"
#include "platform/AppBundle.h"
#include "platform/RunLoop.h"
#include "platform/UserDefaults.h"
#include "sources/NDILibrary.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/ProgramEnvironment.h"
#include "tests/support/TestFolder.h"

namespace zarvo {
namespace {

namespace fs = std::filesystem;

// --- Settings migration ---------------------------------------------------------------------

TEST(SettingsMigrationTest, CopiesOnlyTheRecordingSettingsTheRecorderLacks) {
    test::TestFolder folder;
    UserDefaults older(folder / "older.json");
    UserDefaults ours(folder / "ours.json");
    older.setString("RecorderCodec", "hevc");
    older.setInteger("RecorderWidth", 1280);
    older.setInteger("RecorderHeight", 720);
    older.setString("RecorderFolder", "/older/movies");
    older.setString("RecorderLayout", "grid");  // not one of the migrated settings
    ours.setInteger("RecorderWidth", 3840);

    app::migrateSettings(older, ours);

    EXPECT_TRUE(ours.boolForKey(app::kMigratedKey));
    EXPECT_EQ(ours.stringForKey("RecorderCodec"), "hevc");
    EXPECT_EQ(ours.integerForKey("RecorderWidth"), 3840) << "our own value must be kept";
    EXPECT_EQ(ours.integerForKey("RecorderHeight"), 720);
    EXPECT_EQ(ours.stringForKey("RecorderFolder"), "/older/movies");
    EXPECT_FALSE(ours.objectForKey("RecorderLayout").has_value());
    EXPECT_FALSE(ours.objectForKey("RecorderName").has_value());

    // Written through to the file, so the next start sees it.
    UserDefaults reread(folder / "ours.json");
    EXPECT_EQ(reread.stringForKey("RecorderCodec"), "hevc");
    EXPECT_TRUE(reread.boolForKey(app::kMigratedKey));
}

TEST(SettingsMigrationTest, RunsOnceEvenWhenTheOlderSettingsChangeLater) {
    test::TestFolder folder;
    UserDefaults older(folder / "older.json");
    UserDefaults ours(folder / "ours.json");

    // A first start with nothing to copy still counts as the migration.
    app::migrateSettings(older, ours);
    EXPECT_TRUE(ours.boolForKey(app::kMigratedKey));

    older.setString("RecorderName", "Show");
    older.setDouble("RecorderFPS", 25);
    app::migrateSettings(older, ours);
    EXPECT_FALSE(ours.objectForKey("RecorderName").has_value());
    EXPECT_FALSE(ours.objectForKey("RecorderFPS").has_value());
}

TEST(SettingsMigrationTest, RegisteredDefaultsDoNotBlockTheCopy) {
    test::TestFolder folder;
    UserDefaults older(folder / "older.json");
    UserDefaults ours(folder / "ours.json");
    older.setDouble("RecorderBitrate", 42);
    ours.registerDefaults({{"RecorderBitrate", 20}});

    app::migrateSettings(older, ours);
    EXPECT_DOUBLE_EQ(ours.doubleForKey("RecorderBitrate"), 42);
}

// --- Startup helpers ------------------------------------------------------------------------

TEST(AppStartupTest, DomainComesFromTheBundleIdentifierElseTheFallback) {
    EXPECT_EQ(zarvo::applicationDomain({{"CFBundleIdentifier", "org.example.rec"}}),
              "org.example.rec");
    EXPECT_EQ(zarvo::applicationDomain(nlohmann::json::object()), zarvo::kFallbackDomain);
    EXPECT_EQ(zarvo::applicationDomain({{"CFBundleIdentifier", ""}}), zarvo::kFallbackDomain);
    EXPECT_EQ(zarvo::applicationDomain({{"CFBundleIdentifier", 7}}), zarvo::kFallbackDomain);
    EXPECT_EQ(zarvo::applicationDomain(nlohmann::json::array()), zarvo::kFallbackDomain);
}

TEST(AppStartupTest, ArgumentsAcceptHeadlessAndRejectTheUnknown) {
    EXPECT_FALSE(app::parseArguments({}).headless);
    EXPECT_FALSE(app::parseArguments({}).error.has_value());

    const auto headless = app::parseArguments({"--headless"});
    EXPECT_TRUE(headless.headless);
    EXPECT_FALSE(headless.error.has_value());

    const auto unknown = app::parseArguments({"--headless", "--window"});
    ASSERT_TRUE(unknown.error.has_value());
    EXPECT_NE(unknown.error->find("--window"), std::string::npos);

    EXPECT_TRUE(app::parseArguments({"--help"}).help);
}

TEST(AppStartupTest, PortsFromTheEnvironmentAreWholeDecimalNumbers) {
    EXPECT_EQ(app::portFromEnvironment("9000", app::kDefaultOSCPort), 9000);
    EXPECT_EQ(app::portFromEnvironment("+9000", app::kDefaultOSCPort), 9000);
    EXPECT_EQ(app::portFromEnvironment(nullptr, app::kDefaultOSCPort), 9230);
    for (const char* text :
         {"", "abc", "90 00", " 9000", "9000x", "0x2000", "+", "-", "99999999999999999999999"}) {
        EXPECT_EQ(app::portFromEnvironment(text, app::kDefaultOSCQueryPort), 9231) << text;
    }
}

TEST(AppStartupTest, NdiOffLineGivesTheReason) {
    EXPECT_EQ(app::ndiStatusLine(*NDILibrary::unavailable("no runtime here")),
              "NDI is off: no runtime here");
}

// --- The quit path, in this process ---------------------------------------------------------

// Settings, registry and runtime folders of a test's own.
class HeadlessFolders {
  public:
    const test::TestFolder& folder() const { return environment_.folder(); }
    // The recorder without NDI, with its settings in the folder and ports of its own.
    std::unique_ptr<app::HeadlessApp> makeApp(RunLoop& loop) const {
        const long firstPort = environment_.firstPort();
        return app::HeadlessApp::create(
            {.mainQueue = &loop,
             .defaults = std::make_shared<UserDefaults>(folder() / "settings.json"),
             .ndiLibrary = NDILibrary::unavailable("not in this test"),
             .oscPort = firstPort,
             .queryPort = firstPort + test::ProgramEnvironment::kQueryPortOffset});
    }

  private:
    test::ProgramEnvironment environment_;
};

TEST(HeadlessAppQuitTest, QuitWhileIdleEndsAtOnceAndOnlyOnce) {
    HeadlessFolders folders;
    RunLoop loop;
    auto application = folders.makeApp(loop);
    ASSERT_NE(application, nullptr);
    EXPECT_FALSE(application->controller()->ndiAvailable());

    int done = 0;
    application->quit([&] { ++done; });
    EXPECT_EQ(done, 1);
    application->quit([&] { ++done; });  // a second signal while quitting
    loop.runFor(0.1);
    EXPECT_EQ(done, 1);
}

TEST(HeadlessAppQuitTest, QuitWhileRecordingEndsAfterTheMoviesAreFinished) {
    HeadlessFolders folders;
    test::ChildProcess publisher(
        {ZARVO_TEST_SOURCE, "--name", "Test Pattern", "--size", "160x90", "--fps", "30"});
    ASSERT_TRUE(publisher.started());

    RunLoop loop;
    auto application = folders.makeApp(loop);
    ASSERT_NE(application, nullptr);
    const auto& controller = application->controller();
    ASSERT_TRUE(loop.runUntil([&] { return !controller->availableSources().empty(); }, 20));
    fs::create_directories(folders.folder() / "movies");
    controller->setFolder((folders.folder() / "movies").string());
    controller->setName("Quit");
    controller->setSound("");
    ASSERT_TRUE(controller->addSourceMatching("Test Pattern")) << controller->error();
    const auto place = controller->places().at(0);
    ASSERT_TRUE(loop.runUntil([&] { return place->frameCount() > 0; }, 20));

    ASSERT_TRUE(controller->start()) << controller->error();
    loop.runFor(0.5);
    bool done = false;
    application->quit([&] { done = true; });
    EXPECT_FALSE(done) << "the take must be finished before quitting";
    ASSERT_TRUE(loop.runUntil([&] { return done; }, 30));

    EXPECT_FALSE(controller->isRecording());
    EXPECT_EQ(controller->recordingError(), "");
    const auto movies = controller->moviesOfTheTake();
    ASSERT_FALSE(movies.empty());
    for (const auto& movie : movies) {
        std::error_code error;
        EXPECT_GT(fs::file_size(movie->url(), error), 0u) << movie->url();
    }
}

// --- The program ----------------------------------------------------------------------------

// The recorder program run with its folders in a temporary folder and no NDI runtime.
class HeadlessProgramTest : public ::testing::Test {
  protected:
    fs::path settingsFile(const std::string& domain) const {
        return folder_ / "config" / "zarvo-recorder" / (domain + ".json");
    }

    // Reads the program's lines until one starts with the prefix; that line, or "".
    static std::string lineStartingWith(test::ChildProcess& program, const std::string& prefix,
                                        std::string* everything) {
        for (;;) {
            std::string line = program.readLine(30);
            if (line.empty()) {
                return "";
            }
            *everything += line + "\n";
            if (line.rfind(prefix, 0) == 0) {
                return line;
            }
        }
    }

    void expectCleanExitOn(int signal) {
        test::ChildProcess program({ZARVO_RECORDER, "--headless"}, true);
        ASSERT_TRUE(program.started());
        std::string output;
        const std::string line = lineStartingWith(program, "NDI is off: ", &output);
        ASSERT_FALSE(line.empty()) << output;
        EXPECT_NE(line.find("libndi.so.6"), std::string::npos) << line;
        ASSERT_FALSE(lineStartingWith(program, "ZarvoRecorder is running", &output).empty())
            << output;

        // Still running until told to quit.
        EXPECT_FALSE(program.wait(0.3).has_value());
        program.signal(signal);
        EXPECT_EQ(program.wait(30), 0);
    }

    test::ProgramEnvironment environment_;
    const test::TestFolder& folder_ = environment_.folder();
};

TEST_F(HeadlessProgramTest, StartsWithoutNdiAndExitsCleanlyOnSigterm) {
    expectCleanExitOn(SIGTERM);
}

TEST_F(HeadlessProgramTest, ExitsCleanlyOnSigint) {
    expectCleanExitOn(SIGINT);
}

TEST_F(HeadlessProgramTest, MigratesTheOlderClientSettingsOnFirstStart) {
    fs::create_directories(settingsFile(app::kOlderClientDomain).parent_path());
    {
        std::ofstream older(settingsFile(app::kOlderClientDomain));
        older << R"({"RecorderName": "Older show", "RecorderCodec": "prores"})";
        std::ofstream ours(settingsFile(zarvo::kFallbackDomain));
        ours << R"({"RecorderCodec": "hevc"})";
    }

    test::ChildProcess program({ZARVO_RECORDER, "--headless"}, true);
    ASSERT_TRUE(program.started());
    std::string output;
    ASSERT_FALSE(lineStartingWith(program, "ZarvoRecorder is running", &output).empty()) << output;
    program.signal(SIGTERM);
    ASSERT_EQ(program.wait(30), 0);

    UserDefaults ours(settingsFile(zarvo::kFallbackDomain));
    EXPECT_TRUE(ours.boolForKey(app::kMigratedKey));
    EXPECT_EQ(ours.stringForKey("RecorderName"), "Older show");
    EXPECT_EQ(ours.stringForKey("RecorderCodec"), "hevc");
}

TEST_F(HeadlessProgramTest, RefusesAnUnknownArgument) {
    test::ChildProcess program({ZARVO_RECORDER, "--no-such-option"}, true);
    ASSERT_TRUE(program.started());
    std::string output;
    EXPECT_FALSE(lineStartingWith(program, "zarvo-recorder: unknown argument", &output).empty())
        << output;
    EXPECT_EQ(program.wait(30), 2);
}

}  // namespace
}  // namespace zarvo

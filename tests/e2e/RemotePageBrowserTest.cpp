// The remote control page in a real browser: Debian's Chromium, headless, driven by the script
// of tests/browser against the recorder program with a test source chosen.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/e2e/RecorderProgram.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/Loopback.h"
#include "tests/support/ProgramEnvironment.h"

namespace zarvo {
namespace {

namespace fs = std::filesystem;

TEST(RemotePageBrowserTest, PhoneStartsFollowsAndStopsATake) {
    const fs::path modules = fs::path(ZARVO_BROWSER_TEST_DIR) / "node_modules" / "playwright-core";
    ASSERT_TRUE(fs::exists(modules)) << "scripts/setup.sh installs the browser test's modules";
    // The script is run from beside its modules, which is where Node looks for them.
    const fs::path script = fs::path(ZARVO_BROWSER_TEST_DIR) / "drive-remote-page.mjs";
    fs::copy_file(ZARVO_BROWSER_SCRIPT, script, fs::copy_options::overwrite_existing);

    test::ProgramEnvironment environment;
    ASSERT_NE(environment.firstPort(), 0);
    test::ChildProcess source(
        {ZARVO_TEST_SOURCE, "--name", "Stage", "--size", "320x180", "--fps", "30"});
    ASSERT_TRUE(source.started());
    test::RecorderProgram recorder(ZARVO_RECORDER);
    ASSERT_TRUE(recorder.waitForNetwork()) << recorder.output();
    const std::string title = "Stage - zarvo-test-source";
    ASSERT_TRUE(test::waitFor(
        [&] {
            const auto range = test::httpGetJson(recorder.queryPort, "/source?RANGE");
            return range && (*range)["RANGE"][0]["VALS"].size() == 1;
        },
        20));
    test::sendDatagram(recorder.oscPort,
                       test::OSCBundle({OSCMessage("/folder", {environment.movies().string()}),
                                        OSCMessage("/source/1", {std::string("stage")})}));
    ASSERT_TRUE(test::waitFor(
        [&] {
            const auto value = test::httpGetJson(recorder.queryPort, "/source/1?VALUE");
            return value && (*value)["VALUE"][0] == title;
        },
        20));

    // Node's errors go to the same pipe as its progress, so that a failure tells its story.
    test::ChildProcess browser({"/bin/sh", "-c", "exec node \"$0\" \"$@\" 2>&1", script.string(),
                                std::to_string(recorder.queryPort), title, ZARVO_SCREENSHOTS_DIR});
    ASSERT_TRUE(browser.started());
    std::string transcript;
    while (!browser.outputEnded()) {
        const std::string line = browser.readLine(120);
        if (line.empty() && !browser.outputEnded())
            break;
        transcript += line + "\n";
    }
    EXPECT_EQ(browser.wait(30), 0) << transcript << recorder.output();
    EXPECT_NE(transcript.find("ok: OSCQuery reports recording after the click"), std::string::npos)
        << transcript;
    EXPECT_NE(transcript.find("a page of another site cannot open the WebSocket"),
              std::string::npos)
        << transcript;
    EXPECT_EQ(recorder.terminate(), 0);
}

}  // namespace
}  // namespace zarvo

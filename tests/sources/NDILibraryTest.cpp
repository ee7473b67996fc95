#include "sources/NDILibrary.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/sources/fake_ndi/FakeNDIRuntime.h"
#include "tests/support/TestFolder.h"

namespace zarvo {
namespace {

namespace fs = std::filesystem;
using test::FakeNDIRuntime;

using Candidates = std::vector<std::string>;

TEST(NDILibraryCandidatesTest, OverrideStandsAloneAndTheStandardPlacesFollowInOrder) {
    EXPECT_EQ(NDILibrary::candidatePaths(
                  {{"ZARVO_NDI_LIBRARY", "/opt/x/libndi.so"}, {"NDI_RUNTIME_DIR_V6", "/opt/ndi"}},
                  "/apps/ZarvoRecorder.app"),
              Candidates{"/opt/x/libndi.so"});

    const Candidates standard{"/apps/ZarvoRecorder.app/lib/libndi.so.6",
                              "/usr/local/lib/libndi.so.6", "/usr/lib/libndi.so.6"};
    EXPECT_EQ(NDILibrary::candidatePaths({}, "/apps/ZarvoRecorder.app"), standard);
    EXPECT_EQ(NDILibrary::candidatePaths({{"ZARVO_NDI_LIBRARY", ""}, {"NDI_RUNTIME_DIR_V6", ""}},
                                         "/apps/ZarvoRecorder.app/"),
              standard);
    EXPECT_EQ(NDILibrary::candidatePaths({{"NDI_RUNTIME_DIR_V6", "/opt/ndi/"}}, "/apps/Z.app"),
              (Candidates{"/apps/Z.app/lib/libndi.so.6", "/opt/ndi/libndi.so.6",
                          "/usr/local/lib/libndi.so.6", "/usr/lib/libndi.so.6"}));
    // Without a known application folder there is no bundle candidate, rather than one relative
    // to the working folder.
    EXPECT_EQ(NDILibrary::candidatePaths({}, ""),
              (Candidates{"/usr/local/lib/libndi.so.6", "/usr/lib/libndi.so.6"}));
}

class NDILibraryTest : public testing::Test {
  protected:
    void SetUp() override { fake.control("reset"); }

    // A copy of the fake runtime with a state of its own, steered through the returned handle.
    std::unique_ptr<FakeNDIRuntime> copyOfFake(const std::string& name) {
        fs::create_directories((folder / name).parent_path());
        fs::copy_file(FakeNDIRuntime::builtPath(), folder / name);
        return std::make_unique<FakeNDIRuntime>((folder / name).string());
    }

    FakeNDIRuntime fake;
    test::TestFolder folder;
};

TEST_F(NDILibraryTest, LoadsAWorkingRuntimeAndInitialisesItOnce) {
    const auto library = NDILibrary::load(fake.path());
    EXPECT_TRUE(library->isAvailable());
    ASSERT_NE(library->functions(), nullptr);
    EXPECT_EQ(library->version(), "6.0.0 fake");
    EXPECT_EQ(library->path(), fake.path());
    EXPECT_EQ(library->reason(), "");
    EXPECT_EQ(fake.count("initialize"), 1);

    fake.control("version-none");
    const auto unversioned = NDILibrary::load(fake.path());
    EXPECT_TRUE(unversioned->isAvailable());
    EXPECT_EQ(unversioned->version(), "");
}

TEST_F(NDILibraryTest, ExplainsWhyAFileIsNoUsableRuntime) {
    const auto expectUnavailable = [](const std::shared_ptr<const NDILibrary>& library,
                                      const std::string& reason) {
        EXPECT_FALSE(library->isAvailable());
        EXPECT_EQ(library->functions(), nullptr);
        EXPECT_EQ(library->version(), "");
        EXPECT_EQ(library->path(), std::nullopt);
        EXPECT_EQ(library->reason(), reason);
    };
    expectUnavailable(NDILibrary::load(""), "libndi.so.6 was not found");
    const std::string missing = (folder / "missing.so").string();
    expectUnavailable(NDILibrary::load(missing), "libndi.so.6 was not found at " + missing);
    expectUnavailable(NDILibrary::load(FakeNDIRuntime::notNDIPath()),
                      FakeNDIRuntime::notNDIPath() + " is not an NDI library");

    const std::string text = (folder / "libndi.so.6").string();
    test::writeFile(text, "not a library\n");
    const auto notLoadable = NDILibrary::load(text);
    EXPECT_FALSE(notLoadable->isAvailable());
    EXPECT_TRUE(notLoadable->reason().starts_with(text + " is not an NDI library (" + text))
        << notLoadable->reason();
    EXPECT_TRUE(notLoadable->reason().ends_with(")"));

    fake.control("table 0");
    expectUnavailable(NDILibrary::load(fake.path()), fake.path() + " is not an NDI library");
    fake.control("table 1");
    fake.control("complete-table 0");
    expectUnavailable(NDILibrary::load(fake.path()), fake.path() + " is not an NDI library");
    fake.control("complete-table 1");
    EXPECT_EQ(fake.count("initialize"), 0);

    // A processor the runtime cannot use: it is not even initialised.
    fake.control("cpu 0");
    expectUnavailable(NDILibrary::load(fake.path()), "this computer cannot run NDI");
    EXPECT_EQ(fake.count("initialize"), 0);
    fake.control("cpu 1");
    fake.control("initialize 0");
    expectUnavailable(NDILibrary::load(fake.path()), "this computer cannot run NDI");
    EXPECT_EQ(fake.count("initialize"), 1);
}

TEST_F(NDILibraryTest, LoadsTheFirstCandidateThatWorksAndReportsTheFirstFailure) {
    const std::string missing = (folder / "missing/libndi.so.6").string();
    const std::string text = (folder / "text/libndi.so.6").string();
    fs::create_directories(folder / "text");
    test::writeFile(text, "not a library\n");
    const auto broken = copyOfFake("broken/libndi.so.6");
    broken->control("cpu 0");
    const auto working = copyOfFake("working/libndi.so.6");

    // Absent files are skipped without a try; a folder is no candidate either.
    const auto chosen =
        NDILibrary::loadFirstAvailable({missing, folder.path().string(), broken->path(),
                                        FakeNDIRuntime::notNDIPath(), working->path()});
    EXPECT_TRUE(chosen->isAvailable());
    EXPECT_EQ(chosen->path(), working->path());
    EXPECT_EQ(chosen->reason(), "");
    EXPECT_EQ(working->count("initialize"), 1);

    const auto failed =
        NDILibrary::loadFirstAvailable({missing, folder.path().string(), broken->path(), text});
    EXPECT_FALSE(failed->isAvailable());
    EXPECT_EQ(failed->reason(), "this computer cannot run NDI");
    EXPECT_EQ(
        NDILibrary::loadFirstAvailable({FakeNDIRuntime::notNDIPath(), broken->path()})->reason(),
        FakeNDIRuntime::notNDIPath() + " is not an NDI library");

    const std::string alsoMissing = (folder / "b/libndi.so.6").string();
    EXPECT_EQ(NDILibrary::loadFirstAvailable({missing, alsoMissing})->reason(),
              "libndi.so.6 was not found in " + missing + ", " + alsoMissing);
}

TEST_F(NDILibraryTest, SharedLibraryIsSearchedOnceAndHonoursTheOverride) {
    static int runs = 0;
    if (++runs > 1) {
        GTEST_SKIP() << "the shared library is searched once per process";
    }
    ASSERT_EQ(setenv("ZARVO_NDI_LIBRARY", fake.path().c_str(), 1), 0);
    std::vector<std::shared_ptr<const NDILibrary>> seen(4);
    std::vector<std::thread> threads;
    for (auto& slot : seen) {
        threads.emplace_back([&slot] { slot = NDILibrary::sharedLibrary(); });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    unsetenv("ZARVO_NDI_LIBRARY");
    for (const auto& library : seen) {
        EXPECT_EQ(library, seen[0]);
    }
    EXPECT_EQ(NDILibrary::sharedLibrary(), seen[0]);
    EXPECT_TRUE(seen[0]->isAvailable());
    EXPECT_EQ(seen[0]->path(), fake.path());
    EXPECT_EQ(fake.count("initialize"), 1);
}

}  // namespace
}  // namespace zarvo

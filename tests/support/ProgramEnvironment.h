#pragma once

// The surroundings a recorder program started by an end-to-end test runs in, so that it reads
// and writes nothing of the user's and finds nothing the test did not put there.

#include <filesystem>

#include "tests/support/TestFolder.h"

namespace zarvo::test {

// For the life of the object, programs started from this process get: a home and settings folder
// in a temporary folder (with a "movies" folder in it), no NDI runtime, the OSC port at the first
// of a range of free ports and the OSCQuery port kQueryPortOffset above it, and the test run's own
// frame-sharing registry.
class ProgramEnvironment {
  public:
    static constexpr long kPortCount = 40;
    static constexpr long kQueryPortOffset = 20;

    ProgramEnvironment();
    ProgramEnvironment(const ProgramEnvironment&) = delete;
    ProgramEnvironment& operator=(const ProgramEnvironment&) = delete;

    const TestFolder& folder() const { return folder_; }
    std::filesystem::path movies() const { return folder_ / "movies"; }
    // The first port of the range; 0 when no free range was found.
    long firstPort() const { return firstPort_; }

  private:
    TestFolder folder_;
    ScopedEnv home_;
    ScopedEnv config_;
    ScopedEnv ndi_;
    const long firstPort_;
    ScopedEnv oscPort_;
    ScopedEnv queryPort_;
};

}  // namespace zarvo::test

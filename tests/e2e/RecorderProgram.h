#pragma once

// The recorder program run as a child process for end-to-end tests.

#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/ChildProcess.h"

namespace zarvo::test {

// A recorder program whose output is read on a thread of its own, so that the program never
// waits on a full pipe, and kept for the test to search.
class RecorderProgram {
  public:
    // Starts the program at `path` with the arguments (--headless unless told otherwise), in
    // this process's environment.
    explicit RecorderProgram(const std::string& path,
                             const std::vector<std::string>& arguments = {"--headless"});
    // Kills the program when it was not terminated.
    ~RecorderProgram();
    RecorderProgram(const RecorderProgram&) = delete;
    RecorderProgram& operator=(const RecorderProgram&) = delete;

    // The first line matching the pattern, waiting up to the time-out: the whole match and
    // its groups, or none.
    std::optional<std::vector<std::string>> waitForLine(const std::string& pattern,
                                                        double timeout = 30);
    // Waits for the network to be up and keeps the OSC and OSCQuery ports it took.
    bool waitForNetwork();
    // Everything the program wrote so far.
    std::string output();
    // Quits as a user's SIGTERM does; the exit status.
    std::optional<int> terminate(double timeout = 60);

    long oscPort = 0;
    long queryPort = 0;

  private:
    ChildProcess process_;
    std::thread reader_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;  // guarded by mutex_
    bool ended_ = false;              // guarded by mutex_
    std::optional<int> exitStatus_;
};

}  // namespace zarvo::test

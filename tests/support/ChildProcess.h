#pragma once

// Programs run as child processes by the tests, and waiting for conditions they bring about.

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace zarvo::test {

// Polls the condition every few milliseconds until it holds or the time-out passes.
bool waitFor(const std::function<bool()>& condition, double timeoutSeconds);

// A program run as a child process, its standard input and output connected to the test.
class ChildProcess {
  public:
    // With mergeErrors, what the child writes to standard error is read as its output too.
    explicit ChildProcess(const std::vector<std::string>& arguments, bool mergeErrors = false);
    // Kills the child when it still runs.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }

    // The next line of output, or "" when the child ends or the time-out passes first.
    std::string readLine(double timeoutSeconds);
    // Whether every writer of the output has closed it and all of it has been read.
    bool outputEnded() const { return outputEnded_ && buffer_.empty(); }
    void writeLine(const std::string& line);
    void signal(int number);

    // The exit status once the child has ended (128 + the signal when killed), or nothing when
    // it still runs after the time-out.
    std::optional<int> wait(double timeoutSeconds);

  private:
    pid_t pid_ = -1;
    int in_ = -1;
    int out_ = -1;
    std::string buffer_;
    bool outputEnded_ = false;
    std::optional<int> status_;
};

}  // namespace zarvo::test

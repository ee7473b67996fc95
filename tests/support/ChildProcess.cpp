#include "tests/support/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "platform/Spawn.h"

namespace zarvo::test {

bool waitFor(const std::function<bool()>& condition, double timeoutSeconds) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
    for (;;) {
        if (condition()) {
            return true;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

ChildProcess::ChildProcess(const std::vector<std::string>& arguments, bool mergeErrors) {
    int input[2];
    int output[2];
    if (::pipe2(input, O_CLOEXEC) != 0) {
        return;
    }
    if (::pipe2(output, O_CLOEXEC) != 0) {
        ::close(input[0]);
        ::close(input[1]);
        return;
    }
    SpawnOptions options;
    options.input = SpawnStream::from(input[0]);
    options.output = SpawnStream::from(output[1]);
    if (mergeErrors) {
        options.error = SpawnStream::from(output[1]);
    }
    spawnProcess(arguments[0], arguments, options, &pid_);
    ::close(input[0]);
    ::close(output[1]);
    in_ = input[1];
    out_ = output[0];
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0 && !status_) {
        ::kill(pid_, SIGKILL);
        wait(60);
    }
    if (in_ >= 0) {
        ::close(in_);
    }
    if (out_ >= 0) {
        ::close(out_);
    }
}

std::string ChildProcess::readLine(double timeoutSeconds) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
    for (;;) {
        const size_t end = buffer_.find('\n');
        if (end != std::string::npos) {
            std::string line = buffer_.substr(0, end);
            buffer_.erase(0, end + 1);
            return line;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || out_ < 0) {
            return "";
        }
        pollfd ready{out_, POLLIN, 0};
        if (::poll(&ready, 1, static_cast<int>(left.count())) <= 0) {
            continue;
        }
        char chunk[512];
        const ssize_t got = ::read(out_, chunk, sizeof chunk);
        if (got <= 0) {
            outputEnded_ = got == 0;
            return "";
        }
        buffer_.append(chunk, static_cast<size_t>(got));
    }
}

void ChildProcess::writeLine(const std::string& line) {
    const std::string text = line + "\n";
    [[maybe_unused]] const ssize_t written = ::write(in_, text.data(), text.size());
}

void ChildProcess::signal(int number) {
    if (pid_ > 0 && !status_) {
        ::kill(pid_, number);
    }
}

std::optional<int> ChildProcess::wait(double timeoutSeconds) {
    if (pid_ <= 0 || status_) {
        return status_;
    }
    waitFor(
        [&] {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            return status_.has_value();
        },
        timeoutSeconds);
    return status_;
}

}  // namespace zarvo::test

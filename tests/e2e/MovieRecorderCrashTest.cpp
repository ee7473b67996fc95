// What is left of a movie when its process dies or its disk fills up mid-take. The recording
// runs in a child process (zarvo_movie_child), started with posix_spawn since this process has
// threads.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <sstream>
#include <string>

#include "tests/support/MovieProbe.h"
#include "tests/support/TestFolder.h"

extern char** environ;

namespace zarvo {
namespace {

using test::MovieProbe;

// A child process whose standard output the test reads line by line.
class Child {
  public:
    Child(const std::string& mode, const std::filesystem::path& file) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) {
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        std::string program = ZARVO_MOVIE_CHILD;
        std::string fileArgument = file.string();
        std::string modeArgument = mode;
        char* argv[] = {program.data(), modeArgument.data(), fileArgument.data(), nullptr};
        if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv, environ) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
        out_ = fds[0];
    }

    ~Child() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            wait();
        }
        if (out_ >= 0) {
            ::close(out_);
        }
    }

    bool started() const { return pid_ > 0; }

    // The next line of output, or "" when the child ends or the time-out passes first.
    std::string readLine(double timeoutSeconds) {
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
            if (left.count() <= 0) {
                return "";
            }
            pollfd fd{out_, POLLIN, 0};
            if (::poll(&fd, 1, static_cast<int>(left.count())) <= 0) {
                continue;
            }
            char chunk[512];
            const ssize_t n = ::read(out_, chunk, sizeof chunk);
            if (n <= 0) {
                return "";
            }
            buffer_.append(chunk, static_cast<size_t>(n));
        }
    }

    // Reads "key value" lines until the child closes its output.
    std::map<std::string, std::string> readReport(double timeoutSeconds) {
        std::map<std::string, std::string> report;
        for (std::string line; !(line = readLine(timeoutSeconds)).empty();) {
            const size_t space = line.find(' ');
            report[line.substr(0, space)] =
                space == std::string::npos ? "" : line.substr(space + 1);
        }
        return report;
    }

    void kill() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
        }
    }

    // The child's wait status.
    int wait() {
        int status = 0;
        if (pid_ > 0) {
            while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
            }
            pid_ = -1;
        }
        return status;
    }

  private:
    pid_t pid_ = -1;
    int out_ = -1;
    std::string buffer_;
};

TEST(MovieRecorderCrashTest, AMovieKilledMidTakePlaysUpToItsLastFragment) {
    test::TestFolder folder;
    const auto file = folder / "killed.mov";
    Child child("record", file);
    ASSERT_TRUE(child.started());
    const std::string line = child.readLine(300);
    ASSERT_EQ(line, "written 375");
    child.kill();
    const int status = child.wait();
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);

    // Fragments are cut every 10 s of movie time: the first one, pictures 0 to 299, is whole
    // on disk; what came after it was still in memory.
    const auto probe = MovieProbe::read(file, true);
    ASSERT_TRUE(probe.opened) << probe.error;
    ASSERT_TRUE(probe.picture);
    EXPECT_EQ(probe.picture->codec, "h264");
    ASSERT_GE(probe.picture->times.size(), 300u);
    EXPECT_LT(probe.picture->times.size(), 375u);
    for (size_t i = 0; i < probe.picture->times.size(); ++i) {
        ASSERT_EQ(probe.picture->times[i], static_cast<int64_t>(i) * 2000) << i;
    }
    EXPECT_EQ(MovieProbe::decodeAllPictures(file), static_cast<int>(probe.picture->times.size()));
    ASSERT_TRUE(probe.sound);
    EXPECT_GE(probe.sound->sampleCount, 10 * 48000 - 2048);
    EXPECT_LE(probe.sound->sampleCount, 13 * 48000);
}

TEST(MovieRecorderCrashTest, AFullDiskStopsTheMovieAndKeepsWhatWasWritten) {
    test::TestFolder folder;
    const auto file = folder / "full.mov";
    Child child("fill", file);
    ASSERT_TRUE(child.started());
    auto report = child.readReport(300);
    const int status = child.wait();
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    ASSERT_TRUE(report.contains("limited")) << report["error"];

    // The failure reached the handler once, on the main thread, with the system's reason.
    EXPECT_EQ(report["failures"], "1");
    EXPECT_EQ(report["onmain"], "1");
    EXPECT_EQ(report["domain"], "POSIX");
    EXPECT_EQ(report["code"], std::to_string(EFBIG));
    EXPECT_EQ(report["message"], std::strerror(EFBIG));
    EXPECT_EQ(report["recording"], "0");
    EXPECT_EQ(report["finish"], "There is no recording in progress");
    EXPECT_EQ(report["next"], "ok");
    EXPECT_LT(std::stoi(report["frames"]), 3000);

    // What was written before the disk filled up still plays.
    const auto probe = MovieProbe::read(file);
    ASSERT_TRUE(probe.opened) << probe.error;
    ASSERT_TRUE(probe.picture);
    EXPECT_GE(probe.picture->times.size(), 300u);
    EXPECT_GE(MovieProbe::decodeAllPictures(file), 300);
    EXPECT_EQ(MovieProbe::decodeAllPictures(folder / "next.mov"), 3);
}

}  // namespace
}  // namespace zarvo

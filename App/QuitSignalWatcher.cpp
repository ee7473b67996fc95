#include "App/QuitSignalWatcher.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <utility>

#include "platform/Thread.h"

namespace zarvo::app {

namespace {

sigset_t quitSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    return set;
}

}  // namespace

void QuitSignalWatcher::blockQuitSignals() {
    const sigset_t set = quitSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

std::unique_ptr<QuitSignalWatcher> QuitSignalWatcher::create(Handler handler) {
    const sigset_t set = quitSignals();
    const int signalFd = ::signalfd(-1, &set, SFD_CLOEXEC);
    if (signalFd < 0) {
        return nullptr;
    }
    const int wakeFd = ::eventfd(0, EFD_CLOEXEC);
    if (wakeFd < 0) {
        ::close(signalFd);
        return nullptr;
    }
    std::unique_ptr<QuitSignalWatcher> watcher(
        new QuitSignalWatcher(signalFd, wakeFd, std::move(handler)));
    watcher->thread_ = std::thread([raw = watcher.get()] { raw->watch(); });
    return watcher;
}

QuitSignalWatcher::QuitSignalWatcher(int signalFd, int wakeFd, Handler handler)
    : signalFd_(signalFd), wakeFd_(wakeFd), handler_(std::move(handler)) {}

QuitSignalWatcher::~QuitSignalWatcher() {
    const uint64_t one = 1;
    while (::write(wakeFd_, &one, sizeof one) < 0 && errno == EINTR) {
    }
    if (thread_.joinable()) {
        thread_.join();
    }
    ::close(wakeFd_);
    ::close(signalFd_);
}

void QuitSignalWatcher::watch() {
    setCurrentThreadName("quit-signals");
    for (;;) {
        pollfd fds[2] = {{signalFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (fds[1].revents != 0) {
            return;
        }
        if (fds[0].revents & POLLIN) {
            signalfd_siginfo info{};
            const ssize_t got = ::read(signalFd_, &info, sizeof info);
            if (got == static_cast<ssize_t>(sizeof info)) {
                handler_(static_cast<int>(info.ssi_signo));
            }
        }
    }
}

}  // namespace zarvo::app

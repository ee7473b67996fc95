#include "platform/Log.h"

#include <cstdio>
#include <mutex>

namespace zarvo {
namespace {

std::mutex& logMutex() {
    static std::mutex mutex;
    return mutex;
}

std::function<void(const std::string&)>& logSink() {
    static std::function<void(const std::string&)> sink;
    return sink;
}

}  // namespace

void logLine(std::string_view line) {
    std::lock_guard lock(logMutex());
    if (logSink()) {
        logSink()(std::string(line));
        return;
    }
    std::fprintf(stderr, "%.*s\n", static_cast<int>(line.size()), line.data());
    std::fflush(stderr);
}

void setLogSink(std::function<void(const std::string&)> sink) {
    std::lock_guard lock(logMutex());
    logSink() = std::move(sink);
}

}  // namespace zarvo

#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <thread>

namespace zarvo::test {

// The test's handle on one copy of the fake NDI runtime. It opens the same file the recorder
// opens (the loader hands both the same instance), so commands given here steer what the recorder
// sees.
class FakeNDIRuntime {
  public:
    static std::string builtPath() { return ZARVO_FAKE_NDI_PATH; }
    static std::string notNDIPath() { return ZARVO_NOT_NDI_PATH; }

    explicit FakeNDIRuntime(const std::string& path = builtPath()) : path_(path) {
        handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle_ == nullptr) {
            ADD_FAILURE() << "cannot open the fake runtime at " << path << ": " << dlerror();
            return;
        }
        control_ = reinterpret_cast<Control>(dlsym(handle_, "fake_ndi_control"));
        query_ = reinterpret_cast<Query>(dlsym(handle_, "fake_ndi_query"));
        if (control_ == nullptr || query_ == nullptr) {
            ADD_FAILURE() << path << " is not the fake runtime";
        }
    }
    ~FakeNDIRuntime() {
        if (handle_ != nullptr) {
            dlclose(handle_);
        }
    }
    FakeNDIRuntime(const FakeNDIRuntime&) = delete;
    FakeNDIRuntime& operator=(const FakeNDIRuntime&) = delete;

    const std::string& path() const { return path_; }

    void control(const std::string& command) const {
        ASSERT_NE(control_, nullptr);
        ASSERT_EQ(control_(command.c_str()), 0) << "the fake does not know: " << command;
    }

    std::string text(const std::string& what) const {
        if (query_ == nullptr) {
            return "";
        }
        std::string answer(query_(what.c_str(), nullptr, 0), '\0');
        query_(what.c_str(), answer.data(), answer.size() + 1);
        return answer;
    }

    long long count(const std::string& what) const {
        const std::string answer = text(what);
        return answer.empty() ? 0 : std::stoll(answer);
    }

  private:
    using Control = int (*)(const char*);
    using Query = size_t (*)(const char*, char*, size_t);

    std::string path_;
    void* handle_ = nullptr;
    Control control_ = nullptr;
    Query query_ = nullptr;
};

// Polls until the condition holds or the generous deadline passes; answers whether it held.
inline bool waitFor(const std::function<bool()>& condition, double seconds = 10) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace zarvo::test

// zarvo-test-source: publishes a moving test picture as a local Syphon server, until the given
// duration has passed or SIGTERM or SIGINT arrives.
//
//   zarvo-test-source [--name NAME] [--app APP] [--size WxH] [--fps F] [--alpha]
//                     [--duration SECONDS]
#include <signal.h>
#include <time.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "platform/framesharing/SyphonServer.h"
#include "platform/gpu/Texture.h"
#include "tools/TestPicture.h"

namespace {

constexpr char kUsage[] =
    "usage: zarvo-test-source [--name NAME] [--app APP] [--size WxH] [--fps F] [--alpha]\n"
    "                         [--duration SECONDS]\n";
constexpr double kMaxFps = 240;

std::atomic<bool> gQuit{false};
static_assert(std::atomic<bool>::is_always_lock_free);

extern "C" void OnQuitSignal(int) {
    gQuit.store(true);
}

struct Settings {
    std::string name;
    std::string app = "zarvo-test-source";
    int64_t width = 1280;
    int64_t height = 720;
    double fps = 30;
    bool alpha = false;
    std::optional<double> duration;
};

std::optional<double> parseNumber(const std::string& text) {
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(text.c_str(), &end);
    if (text.empty() || end != text.c_str() + text.size() || errno != 0 || !std::isfinite(value)) {
        return std::nullopt;
    }
    return value;
}

bool parseSize(const std::string& text, Settings& settings) {
    const size_t x = text.find('x');
    if (x == std::string::npos) {
        return false;
    }
    const auto width = parseNumber(text.substr(0, x));
    const auto height = parseNumber(text.substr(x + 1));
    const auto fits = [](std::optional<double> value) {
        return value && *value >= 1 && *value <= zarvo::gpu::Texture::kMaxDimension &&
               *value == std::floor(*value);
    };
    if (!fits(width) || !fits(height)) {
        return false;
    }
    settings.width = static_cast<int64_t>(*width);
    settings.height = static_cast<int64_t>(*height);
    return true;
}

// The settings, or an explanation on standard error and nothing.
std::optional<Settings> parseArguments(int argc, char** argv) {
    Settings settings;
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        std::optional<std::string> value;
        if (const size_t equals = option.find('=');
            option.starts_with("--") && equals != std::string::npos) {
            value = option.substr(equals + 1);
            option.resize(equals);
        }
        if (option == "--alpha" && !value) {
            settings.alpha = true;
            continue;
        }
        if (option == "--help" || option == "-h") {
            std::fputs(kUsage, stdout);
            std::exit(0);
        }
        if (option != "--name" && option != "--app" && option != "--size" && option != "--fps" &&
            option != "--duration") {
            std::fprintf(stderr, "zarvo-test-source: unknown option “%s”.\n%s", argv[i], kUsage);
            return std::nullopt;
        }
        if (!value) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "zarvo-test-source: %s needs a value.\n%s", option.c_str(),
                             kUsage);
                return std::nullopt;
            }
            value = argv[++i];
        }
        bool valid = true;
        if (option == "--name") {
            settings.name = *value;
        } else if (option == "--app") {
            settings.app = *value;
        } else if (option == "--size") {
            valid = parseSize(*value, settings);
        } else if (option == "--fps") {
            const auto fps = parseNumber(*value);
            valid = fps && *fps > 0 && *fps <= kMaxFps;
            settings.fps = fps.value_or(0);
        } else {
            const auto duration = parseNumber(*value);
            valid = duration && *duration >= 0;
            settings.duration = duration;
        }
        if (!valid) {
            std::fprintf(stderr, "zarvo-test-source: %s “%s” is not valid.\n%s", option.c_str(),
                         value->c_str(), kUsage);
            return std::nullopt;
        }
    }
    return settings;
}

double secondsNow() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Sleeps until the monotonic time given, or until a signal arrives.
void sleepUntil(double when) {
    const double whole = std::floor(when);
    const timespec until{static_cast<time_t>(whole), static_cast<long>((when - whole) * 1e9)};
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
    const auto settings = parseArguments(argc, argv);
    if (!settings) {
        return 2;
    }
    struct sigaction action {};
    action.sa_handler = OnQuitSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);

    auto server = zarvo::SyphonServer::create({settings->name, settings->app});
    auto texture = zarvo::gpu::Texture::make(settings->width, settings->height);
    if (!server || !texture) {
        std::fprintf(stderr, "zarvo-test-source: the test picture cannot be published.\n");
        return 1;
    }
    const zarvo::tools::TestPicture picture(settings->width, settings->height, settings->fps,
                                            settings->alpha);
    const std::string title = settings->name.empty()  ? settings->app
                              : settings->app.empty() ? settings->name
                                                      : settings->name + " - " + settings->app;
    std::printf("zarvo-test-source: publishing “%s”, %lld×%lld at %g fps.\n", title.c_str(),
                static_cast<long long>(settings->width), static_cast<long long>(settings->height),
                settings->fps);
    std::fflush(stdout);

    const double start = secondsNow();
    const double end = settings->duration ? start + *settings->duration : INFINITY;
    const double interval = 1.0 / settings->fps;
    uint64_t frame = 0;
    while (!gQuit.load()) {
        // Frames keep to the clock: after a delay the picture skips ahead rather than hurrying.
        const double now = secondsNow();
        if (now >= end) {
            break;
        }
        const auto due = static_cast<uint64_t>((now - start) / interval);
        frame = std::max(frame, due);
        picture.draw(frame, *texture);
        server->publishFrameTexture(*texture);
        ++frame;
        sleepUntil(std::min(end, start + static_cast<double>(frame) * interval));
    }
    server->stop();
    return 0;
}

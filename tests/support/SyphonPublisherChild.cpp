// A publisher for the tests, in a process of its own (see SyphonTestRegistry.h for its
// arguments): frames carry their number in every pixel, so that readers can tell which frames
// reached them.
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "platform/framesharing/SyphonServer.h"
#include "tests/support/SyphonTestRegistry.h"

int main(int argc, char** argv) {
    std::string name;
    std::string app = "publisher";
    long width = 64;
    long height = 48;
    long frames = 0;
    double fps = 60;
    long burst = 1;
    bool waitForGo = false;
    bool hold = false;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : "";
        if (option == "--wait") {
            waitForGo = true;
            continue;
        }
        if (option == "--hold") {
            hold = true;
            continue;
        }
        ++i;
        if (option == "--name") {
            name = value;
        } else if (option == "--app") {
            app = value;
        } else if (option == "--size") {
            std::sscanf(value, "%ldx%ld", &width, &height);
        } else if (option == "--frames") {
            frames = std::atol(value);
        } else if (option == "--burst") {
            burst = std::max(1L, std::atol(value));
        } else if (option == "--fps") {
            fps = std::atof(value);
        }
    }
    auto server = zarvo::SyphonServer::create({name, app});
    if (!server || width < 1 || height < 1 || !(fps > 0)) {
        return 1;
    }
    std::cout << "ready "
              << zarvo::syphonDescriptionString(server->serverDescription(),
                                                zarvo::kSyphonServerDescriptionUUIDKey)
              << std::endl;
    if (waitForGo) {
        std::string line;
        std::getline(std::cin, line);
    }
    std::vector<uint32_t> pixels(static_cast<size_t>(width * height));
    timespec next{};
    clock_gettime(CLOCK_MONOTONIC, &next);
    const auto interval = static_cast<long>(1e9 / fps);
    for (long frame = 1; frame <= frames; ++frame) {
        const uint32_t colour =
            0xff000000u | zarvo::test::FrameColour(static_cast<uint64_t>(frame));
        std::fill(pixels.begin(), pixels.end(), colour);
        server->publishFrame(reinterpret_cast<const uint8_t*>(pixels.data()), width, height,
                             width * 4);
        if (frame % burst != 0) {
            continue;
        }
        next.tv_nsec += interval;
        while (next.tv_nsec >= 1000000000) {
            next.tv_nsec -= 1000000000;
            ++next.tv_sec;
        }
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, nullptr);
    }
    std::cout << "done" << std::endl;
    if (hold) {
        for (;;) {
            pause();
        }
    }
    server->stop();
    return 0;
}

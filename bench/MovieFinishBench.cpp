// How long turning a fragmented movie into an ordinary one takes, for takes of 1 and 20 minutes
// of ProRes 422 at 1920×1080, 30 fps, with 48 kHz sound: the finishing reads the fragments'
// index and writes one header, so its time grows with the number of samples only.
//
// The takes are made from one real 11 s take: its first 10 s fragment repeated, the pictures
// and sound left as holes in the file, so a 20-minute take of the real size needs no disk:
//   build/bench/bench/zarvo_movie_finish_bench [minutes...]   (default: 1 20)
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "engine/MovieFinisher.h"
#include "engine/MovieWriter.h"
#include "tests/support/MovieBoxes.h"

namespace {

using namespace zarvo;

constexpr int kRuns = 5;

}  // namespace

int main(int argc, char** argv) {
    std::vector<int> minutes;
    for (int i = 1; i < argc; ++i) {
        minutes.push_back(std::atoi(argv[i]));
    }
    if (minutes.empty()) {
        minutes = {1, 20};
    }
    const auto folder = std::filesystem::temp_directory_path() / "zarvo-finish-bench";
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);

    MovieWriter::Options options;
    options.file = folder / "take.mov";
    options.codec = 2;
    options.width = 1920;
    options.height = 1080;
    options.framesPerSecond = 30;
    options.recordsSound = true;
    const auto source = folder / "fragmented.mov";
    options.finishingStep = [&](MovieFinisher::Step step) {
        if (step == MovieFinisher::Step::Read) {
            std::filesystem::copy_file(options.file, source);
        }
    };
    if (const auto error = test::writeTestMovie(options, 330, 0, true)) {
        std::fprintf(stderr, "the source take could not be written: %s\n", error->message.c_str());
        return 1;
    }

    std::printf("%8s %10s %10s %12s %12s %12s\n", "minutes", "pictures", "file GB", "header KB",
                "best ms", "median ms");
    for (int m : minutes) {
        const auto take = folder / "synthetic.mov";
        std::vector<double> times;
        uintmax_t size = 0;
        uintmax_t header = 0;
        for (int run = 0; run < kRuns; ++run) {
            std::filesystem::remove(take);
            if (!test::repeatFragments(source, take, 6 * m, 0, true)) {
                std::fprintf(stderr, "the synthetic take could not be made\n");
                return 1;
            }
            size = std::filesystem::file_size(take);
            const int fd = ::open(take.c_str(), O_RDWR | O_CLOEXEC);
            const auto start = std::chrono::steady_clock::now();
            const auto error = MovieFinisher::finish(fd);
            const auto end = std::chrono::steady_clock::now();
            ::close(fd);
            if (error) {
                std::fprintf(stderr, "finishing failed: %s\n", error->message.c_str());
                return 1;
            }
            header = std::filesystem::file_size(take) - size;
            times.push_back(std::chrono::duration<double, std::milli>(end - start).count());
        }
        std::sort(times.begin(), times.end());
        std::printf("%8d %10d %10.2f %12.1f %12.2f %12.2f\n", m, m * 1800,
                    static_cast<double>(size) / 1e9, static_cast<double>(header) / 1e3,
                    times.front(), times[times.size() / 2]);
        std::filesystem::remove(take);
    }
    std::filesystem::remove_all(folder);
    return 0;
}

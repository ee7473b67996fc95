#include "engine/MovieFinisher.h"

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <limits>
#include <vector>

#include "engine/FragmentIndex.h"
#include "engine/MovieBoxWriter.h"
#include "engine/MovieError.h"
#include "engine/OrdinaryMovieHeader.h"
#include "platform/Files.h"

namespace zarvo {

namespace {

using moviefile::BoxWriter;
using moviefile::FileBox;
using moviefile::fourcc;
using moviefile::FragmentedMovie;
using Step = MovieFinisher::Step;

// The system's error for a failed system call, else ours.
Error failure(int error) {
    return error != 0 ? systemCallError(error) : movieError("The movie could not be finished");
}

// Syncs the file to disk; a file that cannot be synced (not on a disk) counts as synced.
bool sync(int fd, int* error) {
    if (::fsync(fd) != 0 && errno != EINVAL) {
        *error = errno;
        return false;
    }
    return true;
}

// The header of a media data box of `size` bytes, in its wide form when 32 bits do not hold it.
std::vector<uint8_t> mediaDataHeader(uint64_t size) {
    BoxWriter out;
    if (size <= std::numeric_limits<uint32_t>::max()) {
        out.u32(size);
        out.u32(fourcc("mdat"));
    } else {
        out.u32(1);
        out.u32(fourcc("mdat"));
        out.u64(size);
    }
    return out.take();
}

// Makes the new header the movie's in steps that each leave a playable file, each synced
// before the next: the file holds either the fragmented movie or the ordinary one.
class HeaderCommit {
  public:
    HeaderCommit(int fd, const FragmentedMovie& movie, const MovieFinisher::Options& options)
        : fd_(fd), movie_(movie), options_(options), end_(movie.fileSize) {}

    std::optional<Error> commit(const std::vector<uint8_t>& header) {
        announce(Step::Read);
        if (!appendHeader(header) || !nameHeader() || !retireFragments()) {
            return putBack();
        }
        if (!sync(fd_, &error_)) {
            // The finished movie is what the file now holds, but it may not be on the disk yet.
            return failure(error_);
        }
        announce(Step::FragmentsRetired);
        markFragmentsFree();
        return std::nullopt;
    }

  private:
    void announce(Step step) const {
        if (options_.onStep) {
            options_.onStep(step);
        }
    }

    // 1. The new header goes after the end of the movie, as free space that readers skip, and
    //    is synced.
    bool appendHeader(const std::vector<uint8_t>& header) {
        const size_t half = header.size() / 2;
        if (!writeAt(fd_, header.data(), half, end_, &error_)) {
            return false;
        }
        announce(Step::HeaderPartlyWritten);
        if (!writeAt(fd_, header.data() + half, header.size() - half, end_ + half, &error_) ||
            !sync(fd_, &error_)) {
            return false;
        }
        announce(Step::HeaderWritten);
        return true;
    }

    // 2. It becomes a movie box. Readers take the first movie box of a file, still the
    //    fragmented one.
    bool nameHeader() {
        static constexpr uint8_t kMovieType[4] = {'m', 'o', 'o', 'v'};
        if (!writeAt(fd_, kMovieType, 4, end_ + 4, &error_) || !sync(fd_, &error_)) {
            return false;
        }
        announce(Step::HeaderNamed);
        return true;
    }

    // 3. In one small write, the fragmented header becomes the start of a media data box that
    //    runs up to the new header, holding every fragment: the fragment boxes and their index no
    //    longer count, and the new header is the movie's only one.
    bool retireFragments() {
        const std::vector<uint8_t> mediaHeader = mediaDataHeader(end_ - movie_.header.start);
        return writeAt(fd_, mediaHeader.data(), mediaHeader.size(), movie_.header.start, &error_);
    }

    // A failure before the fragments are retired cuts the new header off again: the file is
    // as it was.
    Error putBack() {
        const int saved = error_;
        if (::ftruncate(fd_, static_cast<off_t>(end_)) == 0) {
            sync(fd_, &error_);
        }
        return failure(saved);
    }

    // Tidying: the fragment boxes and their index, now inside the media data, are marked as free
    // space too, for tools that look inside. The movie is whole whether or not this is done.
    void markFragmentsFree() {
        static constexpr uint8_t kFreeType[4] = {'f', 'r', 'e', 'e'};
        for (const FileBox& box : movie_.fileBoxes) {
            if ((box.type == fourcc("moof") || box.type == fourcc("mfra")) &&
                box.start > movie_.header.start &&
                !writeAt(fd_, kFreeType, 4, box.start + 4, &error_)) {
                break;
            }
        }
        sync(fd_, &error_);
    }

    const int fd_;
    const FragmentedMovie& movie_;
    const MovieFinisher::Options& options_;
    const uint64_t end_;  // the end of the fragmented movie, where the new header goes
    int error_ = 0;
};

}  // namespace

std::optional<Error> MovieFinisher::finish(int fd, const Options& options) {
    FragmentedMovie movie;
    int error = 0;
    switch (moviefile::readFragmentIndex(fd, &movie, &error)) {
        case moviefile::IndexReading::ordinary:
            return std::nullopt;
        case moviefile::IndexReading::failed:
            return failure(error);
        case moviefile::IndexReading::fragmented:
            break;
    }
    std::vector<uint8_t> header;
    if (!moviefile::buildOrdinaryHeader(movie, &header)) {
        return failure(0);
    }
    return HeaderCommit(fd, movie, options).commit(header);
}

}  // namespace zarvo

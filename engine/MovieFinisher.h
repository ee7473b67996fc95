#pragma once

#include <functional>
#include <optional>

#include "platform/Error.h"

namespace zarvo {

// Turns a movie written in fragments (a header whose tracks have no samples yet, then pairs of
// fragment boxes and media data, then the fragments' index) into an ordinary QuickTime movie in
// place: one movie box with complete sample tables describing every sample where it already lies
// in the file. No sample data is moved or copied; only the index is read and a new header is
// written after the last byte, so the work grows with the number of samples, not with the size
// of the pictures.
//
// The file plays at every moment of the finishing: it holds either the fragmented movie or the
// ordinary one, each written and synced to disk before the next step makes it the one readers
// take (see finish()).
class MovieFinisher {
  public:
    // The moments of the finishing, in order; the file's state at each of them.
    enum class Step {
        // The fragments are read; nothing has been written.
        Read,
        // Part of the new header has been appended after the movie, as free space.
        HeaderPartlyWritten,
        // The whole new header is on disk after the movie, still as free space.
        HeaderWritten,
        // The new header is a movie box; readers still take the fragmented header, which comes
        // first.
        HeaderNamed,
        // The fragmented header, the fragment boxes and their index now lie inside one media data
        // box: readers take the new header. The movie is finished.
        FragmentsRetired,
    };

    struct Options {
        // Called at each step, on the finishing thread. For tests, which look at the file there
        // or stop the process there.
        std::function<void(Step)> onStep;
    };

    // Finishes the movie open read-write at fd. A movie that is not fragmented is left as it is.
    // On failure (a full disk, a malformed file), the file is put back as it was, fragmented and
    // playable, and the reason is returned: the system's error for a failed system call, else
    // "The movie could not be finished".
    static std::optional<Error> finish(int fd, const Options& options = {});
};

}  // namespace zarvo

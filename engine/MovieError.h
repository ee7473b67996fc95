#pragma once

// The errors of movie writing: those the recorder, the writer and the finisher report
// themselves, all in one domain, and failed system calls passed on with the system's message.

#include <cstring>
#include <string>
#include <utility>

#include "platform/Error.h"

namespace zarvo {

// The error domain of everything the movie writer reports itself; errors of the file writer
// underneath are passed on with their own domain.
inline constexpr const char* kMovieRecorderErrorDomain = "net.orvak.zarvo.MovieRecorder";

// A movie-writing error of our own, with its message.
inline Error movieError(std::string message) {
    return Error{kMovieRecorderErrorDomain, -1, std::move(message)};
}

// A failed system call: its error number and the system's message.
inline Error systemCallError(int number) {
    return Error{"POSIX", number, std::strerror(number)};
}

}  // namespace zarvo

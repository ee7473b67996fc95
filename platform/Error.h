#pragma once

#include <cstdint>
#include <string>

namespace zarvo {

// A failure handed back to a caller: the domain that raised it, a code within that domain, and
// the message shown to the user (plain English, UTF-8).
struct Error {
    std::string domain;
    int64_t code = 0;
    std::string message;

    friend bool operator==(const Error&, const Error&) = default;
};

}  // namespace zarvo

#pragma once

// Small text helpers shared by every layer: trimming, ASCII case, strict UTF-8, the process's
// environment and the system's error messages. Pure functions, safe from any thread.

#include <map>
#include <string>
#include <string_view>

namespace zarvo {

// The text without leading and trailing white space (space, tab, line breaks, form feed).
std::string trimmed(std::string_view text);

// The text with ASCII capitals made small; every other byte is kept as it is.
std::string asciiLowercase(std::string_view text);

// Whether the bytes are strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF,
// no cut sequence at the end.
bool isValidUtf8(std::string_view bytes);

// The process's environment as name → value; entries without "=" are left out.
std::map<std::string, std::string> processEnvironment();

// The system's message for an errno value ("Address already in use").
std::string systemErrorText(int code);

}  // namespace zarvo

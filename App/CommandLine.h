#pragma once

// The program's command line: what it asks for, read once by main.

#include <optional>
#include <string>
#include <vector>

namespace zarvo::app {

// What the command line asks for. Unknown arguments are an error.
struct Arguments {
    bool headless = false;
    bool help = false;
    bool version = false;  // --version: print the version and quit
    std::optional<std::string> error;
};
Arguments parseArguments(const std::vector<std::string>& arguments);

}  // namespace zarvo::app

#include "App/CommandLine.h"

namespace zarvo::app {

Arguments parseArguments(const std::vector<std::string>& arguments) {
    Arguments parsed;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument == "--headless") {
            parsed.headless = true;
        } else if (argument == "--lang" || argument == "-AppleLanguage") {
            // The interface language, read by the window; its value follows.
            ++i;
        } else if (argument.rfind("--lang=", 0) == 0) {
            continue;  // likewise, in one argument
        } else if (argument == "--help" || argument == "-h") {
            parsed.help = true;
        } else if (argument == "--version") {
            parsed.version = true;
        } else if (!parsed.error) {
            parsed.error = "unknown argument: " + argument;
        }
    }
    return parsed;
}

}  // namespace zarvo::app

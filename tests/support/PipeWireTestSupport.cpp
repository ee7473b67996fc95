#include "tests/support/PipeWireTestSupport.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <vector>

namespace zarvo::test {

namespace {

// The program's path from the search path, or the name itself.
std::string FindProgram(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::stringstream folders(path != nullptr ? path : "/usr/bin");
    std::string folder;
    while (std::getline(folders, folder, ':')) {
        const std::string candidate = folder + "/" + name;
        if (!folder.empty() && ::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return name;
}

}  // namespace

std::string Named(const std::string& name) {
    return name + " " + std::to_string(::getpid());
}

std::unique_ptr<ChildProcess> startGstPublisher(const GstPublisherOptions& options) {
    char colour[16];
    std::snprintf(colour, sizeof colour, "0x%08x", options.argb);
    const std::string size = ",width=" + std::to_string(options.width) +
                             ",height=" + std::to_string(options.height) +
                             ",framerate=" + std::to_string(options.fps) + "/1";
    std::vector<std::string> arguments = {FindProgram("gst-launch-1.0"),
                                          "-q",
                                          "videotestsrc",
                                          "is-live=true",
                                          "pattern=solid-color",
                                          std::string("foreground-color=") + colour,
                                          "!"};
    if (options.format == "MJPEG") {
        arguments.insert(arguments.end(), {"video/x-raw,format=I420" + size, "!", "jpegenc", "!",
                                           "image/jpeg" + size, "!"});
    } else {
        arguments.insert(arguments.end(), {"video/x-raw,format=" + options.format + size, "!"});
    }
    std::string properties = "props";
    if (!options.description.empty()) {
        properties += ",node.description=(string)\"" + options.description + "\"";
    }
    if (!options.app.empty()) {
        properties += ",application.name=(string)\"" + options.app + "\"";
    }
    if (!options.mediaClass.empty()) {
        properties += ",media.class=" + options.mediaClass;
    }
    // gst-launch-1.0 joins its arguments into one description and parses that again: a value
    // with spaces stands in quotes, the quotes inside it escaped.
    std::string quoted;
    for (const char c : properties) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
        }
        quoted += c;
    }
    arguments.insert(arguments.end(),
                     {"pipewiresink", "mode=provide", "stream-properties=\"" + quoted + "\""});
    return std::make_unique<ChildProcess>(arguments);
}

}  // namespace zarvo::test

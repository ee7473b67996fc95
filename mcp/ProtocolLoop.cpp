#include "mcp/ProtocolLoop.h"

#include <charconv>
#include <exception>
#include <istream>
#include <limits>
#include <ostream>
#include <system_error>

#include "engine/Codec.h"

namespace zarvo::mcp {

using json = nlohmann::json;

namespace {

// The codecs' names on the wire, in the application's order.
json codecNames() {
    json names = json::array();
    for (const CodecDescription& codec : kCodecs) {
        names.push_back(codec.name);
    }
    return names;
}

// The property schemas shared by recorder_configure and recorder_start.
json settingsProperties() {
    json properties = json::object();
    properties["sources"] = {
        {"type", "array"},
        {"items", {{"type", "string"}}},
        {"description",
         R"txt(The sources to record, in order: their titles, or part of them (see sourcesAvailable in recorder_status); they may be Syphon servers or NDI sources. Up to 8. Replaces those chosen.)txt"}};
    properties["source"] = {
        {"type", "string"},
        {"description",
         R"txt(One source (a Syphon server or an NDI source) to record, alone: the same as sources with one title)txt"}};
    properties["codec"] = {
        {"type", "string"},
        {"enum", codecNames()},
        {"description", R"txt(The same for every movie. prores4444 keeps transparency)txt"}};
    properties["fps"] = {
        {"type", "number"},
        {"description",
         R"txt(The most frames per second in the movie. 0: every frame of the source.)txt"}};
    properties["bitrate"] = {
        {"type", "number"},
        {"description",
         R"txt(Megabits per second, for h264 and hevc. 0: chosen from the size and frame rate.)txt"}};
    properties["folder"] = {
        {"type", "string"},
        {"description", R"txt(Folder the movies are written to. It must exist.)txt"}};
    properties["name"] = {
        {"type", "string"},
        {"description",
         R"txt(Name of the recording, without extension: the assembled movie's. Empty: the app's name and the date. A source's own movie adds its source's title, unless it is the only movie. An existing file is never overwritten: a number is added.)txt"}};
    properties["output"] = {
        {"type", "string"},
        {"enum", json::array({"separate", "assembled", "both"})},
        {"description",
         R"txt(What a recording writes. separate: one movie for each source, at its own size. assembled: one movie of all the sources in one picture. both: all of them.)txt"}};
    properties["layout"] = {
        {"type", "string"},
        {"enum", json::array({"row", "column", "grid", "focus"})},
        {"description",
         R"txt(How the sources are assembled, in their order. row: side by side. column: stacked. grid: a mosaic. focus: the first large, the others in a column on its right.)txt"}};
    properties["sound"] = {
        {"type", "string"},
        {"description",
         R"txt(What sound is recorded: "computer" for the sound played on this computer (in the assembled movie when output is assembled or both, or in each Syphon source's movie when output is separate); the title of one of the sources chosen, or part of it, for the assembled movie; or empty for none (the default). Only NDI sources which send sound have any of their own (see sources[].sound in recorder_status), and an NDI source's own movie always has its own sound. Sound is 48 kHz stereo, AAC with h264 and hevc, linear PCM with prores422 and prores4444. Give a source's title after the sources, or together with them.)txt"}};
    properties["gap"] = {
        {"type", "integer"},
        {"description",
         R"txt(Pixels between the sources in the assembled picture (black, or transparent with prores4444))txt"}};
    properties["performance"] = {
        {"type", "boolean"},
        {"description",
         R"txt(Performance mode: while a recording is in progress, the picture in the app's window is shown ten times a second instead of at every frame, to leave the GPU to the movies' encoders. The movies are not affected. Off by default. Unlike the other settings it applies at once, also during a recording (through recorder_configure).)txt"}};
    properties["width"] = {
        {"type", "integer"},
        {"description",
         R"txt(Width the assembled picture is fitted into. 0 (or a height of 0): the size the sources need (see assembled in recorder_status).)txt"}};
    properties["height"] = {
        {"type", "integer"},
        {"description",
         R"txt(Height the assembled picture is fitted into. 0 (or a width of 0): the size the sources need.)txt"}};
    return properties;
}
constexpr std::string_view kStatusDescription =
    R"txt(The state of ZarvoRecorder: its version (version: as 0.9, or dev when it is not run from its application); the sources chosen for recording, in order, with each one's kind (syphon or ndi) and what it delivers (online, size, frame rate) and its movie (file, frames written and dropped, sound: true if the source is sending sound, which only NDI sources do, and soundWritten: seconds of sound in its movie); the sources which can be chosen (sourcesAvailable: a list of {title, kind}, kind being syphon or ndi; it was a list of titles before NDI sources came); whether NDI is usable (ndi: false when NDI's library is not installed, which only leaves NDI sources out); the settings, among them what a recording writes (output: separate | assembled | both), what sound is recorded (sound: "computer", a source's title, or ""), how the sources are assembled (layout, gap, width, height) and whether the window's picture is held back while recording (performance); the assembled picture's size now and the assembled movie (assembled: width, height, file, frames, dropped, soundWritten: seconds of sound in it); the seconds of sound left out in all the movies because an encoder could not keep up (soundLeftOut; pictures are never delayed for sound); whether it is recording (state: idle | recording | finishing) and for how long; the last error (error: a refused message, a recording which could not start), and why the last recording ended if it failed (failure).)txt";
constexpr std::string_view kConfigureDescription =
    R"txt(Changes the sources chosen and the settings; only what is given changes. Settings are saved by the app and apply to the next recording. The sources cannot be changed while recording. With output separate each source is recorded to its own movie, at its own size; with assembled the sources are recorded together in one movie, placed by layout in their order; with both, all of these. All the movies share one clock. A source which sends sound (an NDI source: its sound is true in recorder_status) is recorded with it in its own movie; the assembled movie takes the sound of the source named by sound, or the sound played on this computer when sound is "computer" (which in separate mode goes to each Syphon source's movie), or none by default; the sound is 48 kHz stereo, AAC with h264 and hevc, linear PCM with ProRes. A movie which receives no sound has no sound track. Returns the status afterwards.)txt";
constexpr std::string_view kStartDescription =
    R"txt(Starts recording the sources chosen: one movie (.mov) each, one assembled movie, or both, as output says. Sources and settings (sound included) can be given as for recorder_configure. Returns once the recording has started, with the path of each source's movie in sources[].file and of the assembled movie in assembled.file; fails with the reason if it could not start (no source chosen, folder missing, an assembled picture too large…).)txt";
constexpr std::string_view kStopDescription =
    R"txt(Stops the recording and waits for the movies to be finished. Returns the status: each movie's path, frames written and dropped in sources[] and in assembled, the duration in elapsed. A source which delivered no frame has no movie.)txt";
constexpr std::string_view kInstructions =
    R"txt(Controls the ZarvoRecorder app, which records several Syphon and NDI sources at once: each to its own movie file, all assembled in one movie (side by side, stacked, mosaic), or both. Call recorder_status first to see the sources and settings; recorder_configure chooses the sources; recorder_start and recorder_stop record.)txt";

json toolEntry(std::string_view name, std::string_view description, json properties) {
    return {{"name", name},
            {"description", description},
            {"inputSchema",
             {{"type", "object"},
              {"properties", std::move(properties)},
              {"additionalProperties", false}}}};
}

json textContent(std::string text, bool isError) {
    return {{"content", json::array({{{"type", "text"}, {"text", std::move(text)}}})},
            {"isError", isError}};
}

json initializeResult(const json& params, const std::string& version) {
    const auto requested = params.find("protocolVersion");
    json protocolVersion = requested != params.end() && requested->is_string()
                               ? *requested
                               : json(kDefaultProtocolVersion);
    return {{"protocolVersion", std::move(protocolVersion)},
            {"capabilities", {{"tools", json::object()}}},
            {"serverInfo",
             {{"name", "zarvo-recorder"}, {"version", version.empty() ? "dev" : version}}},
            {"instructions", kInstructions}};
}

json toolsCallResult(const json& params, RecorderTools& tools) {
    const auto name = params.find("name");
    const auto arguments = params.find("arguments");
    return callTool(
        tools, name != params.end() && name->is_string() ? name->get<std::string>() : "",
        arguments != params.end() && arguments->is_object() ? *arguments : json::object());
}

// Requests nested deeper than this are not answered: copying or writing back such a value (an
// "id" of 100,000 nested arrays) would recurse once per level and overflow the stack.
constexpr int kMaxNesting = 512;

bool nestedTooDeeply(std::string_view line) {
    int depth = 0;
    bool inString = false;
    bool escaped = false;
    for (const char c : line) {
        if (inString) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                inString = false;
            }
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > kMaxNesting) {
                return true;
            }
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return false;
}

}  // namespace

int preferredPortFrom(const char* text) {
    if (text == nullptr) {
        return kDefaultPreferredPort;
    }
    std::string_view digits(text);
    bool negative = false;
    if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
        negative = digits.front() == '-';
        digits.remove_prefix(1);
    }
    if (digits.empty() || digits.find_first_not_of("0123456789") != std::string_view::npos) {
        return kDefaultPreferredPort;
    }
    long long magnitude = 0;
    const auto [end, error] =
        std::from_chars(digits.data(), digits.data() + digits.size(), magnitude);
    if (error != std::errc() || end != digits.data() + digits.size()) {
        return kDefaultPreferredPort;
    }
    const long long value = negative ? -magnitude : magnitude;
    // The ports tried run up to value + kPortsToTry - 1, which must stay an int.
    if (value < std::numeric_limits<int>::min() ||
        value > std::numeric_limits<int>::max() - (kPortsToTry - 1)) {
        return kDefaultPreferredPort;
    }
    return static_cast<int>(value);
}

const json& toolList() {
    static const json tools = [] {
        const json settings = settingsProperties();
        return json::array({toolEntry("recorder_status", kStatusDescription, json::object()),
                            toolEntry("recorder_configure", kConfigureDescription, settings),
                            toolEntry("recorder_start", kStartDescription, settings),
                            toolEntry("recorder_stop", kStopDescription, json::object())});
    }();
    return tools;
}

std::string_view serverInstructions() {
    return kInstructions;
}

std::string prettyJson(const json& value) {
    try {
        // nlohmann's json keeps object members in a std::map, so keys come out sorted, and it
        // never escapes "/". Strict UTF-8 handling makes a broken string throw.
        return value.dump(2, ' ', false, json::error_handler_t::strict);
    } catch (const json::exception&) {
        return "{}";
    }
}

json callTool(RecorderTools& tools, const std::string& name, const json& arguments) {
    try {
        tools.locate();
        json value;
        if (name == "recorder_status") {
            value = tools.status();
        } else if (name == "recorder_configure") {
            value = tools.configure(arguments);
        } else if (name == "recorder_start") {
            value = tools.start(arguments);
        } else if (name == "recorder_stop") {
            value = tools.stop();
        } else {
            return textContent("unknown tool " + name, true);
        }
        return textContent(prettyJson(value), false);
    } catch (const std::exception& error) {
        return textContent(error.what(), true);
    } catch (...) {
        return textContent("The tool failed for an unknown reason.", true);
    }
}

json respond(std::string_view line, RecorderTools& tools, const std::string& version) {
    if (line.empty() || nestedTooDeeply(line)) {
        return nullptr;
    }
    const json request = json::parse(line, nullptr, /*allow_exceptions=*/false);
    if (!request.is_object()) {  // also what a parse failure gives (a discarded value)
        return nullptr;
    }
    const auto method = request.find("method");
    if (method == request.end() || !method->is_string()) {
        return nullptr;
    }
    const auto id = request.find("id");
    if (id == request.end()) {
        return nullptr;  // a notification
    }
    const auto paramsMember = request.find("params");
    static const json noParams = json::object();
    const json& params =
        paramsMember != request.end() && paramsMember->is_object() ? *paramsMember : noParams;

    json response = {{"jsonrpc", "2.0"}, {"id", *id}};
    const std::string& name = method->get_ref<const std::string&>();
    if (name == "initialize") {
        response["result"] = initializeResult(params, version);
    } else if (name == "ping") {
        response["result"] = json::object();
    } else if (name == "tools/list") {
        response["result"] = {{"tools", toolList()}};
    } else if (name == "tools/call") {
        response["result"] = toolsCallResult(params, tools);
    } else {
        response["error"] = {{"code", -32601}, {"message", "method not found: " + name}};
    }
    return response;
}

void runProtocolLoop(std::istream& in, std::ostream& out, RecorderTools& tools,
                     const std::string& version) {
    std::string line;
    while (std::getline(in, line)) {
        const json response = respond(line, tools, version);
        if (response.is_null()) {
            continue;
        }
        // A tool's error text may carry bytes that are not UTF-8; they are replaced rather than
        // letting the answer fail, so every request still gets exactly one line.
        std::string text = response.dump(-1, ' ', false, json::error_handler_t::replace);
        text += '\n';
        out.write(text.data(), static_cast<std::streamsize>(text.size()));
        out.flush();
    }
}

}  // namespace zarvo::mcp

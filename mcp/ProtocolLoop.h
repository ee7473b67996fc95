#pragma once

// The MCP server's protocol loop: JSON-RPC 2.0 requests read one per line, answered one per
// line. The tools themselves live behind RecorderTools so the loop can be driven without a
// running application.

#include <nlohmann/json.hpp>

#include <iosfwd>
#include <string>
#include <string_view>

namespace zarvo::mcp {

// The name the application announces in its OSCQuery host information.
inline constexpr std::string_view kApplicationName = "ZarvoRecorder";
// The first port tried when ZARVO_OSCQUERY_PORT says nothing usable.
inline constexpr int kDefaultPreferredPort = 9231;
// How many consecutive ports, from the preferred one, are tried.
inline constexpr int kPortsToTry = 16;
// Answered to "initialize" when the client does not name a protocol version.
inline constexpr std::string_view kDefaultProtocolVersion = "2024-11-05";

// The preferred port from the text of ZARVO_OSCQUERY_PORT (null when the variable is unset):
// an optional sign and decimal digits only, else kDefaultPreferredPort. A value so large that
// the last port tried would not fit in an int also falls back to the default.
int preferredPortFrom(const char* text);

// The operations behind the four tools. callTool runs locate() first for every call, whatever
// the tool name, then the operation named. Every operation may throw; the exception's what()
// becomes the text of a tool error.
class RecorderTools {
  public:
    virtual ~RecorderTools() = default;
    virtual void locate() = 0;
    virtual nlohmann::json status() = 0;
    virtual nlohmann::json configure(const nlohmann::json& arguments) = 0;
    virtual nlohmann::json start(const nlohmann::json& arguments) = 0;
    virtual nlohmann::json stop() = 0;
};

// The four tool descriptions, in the order they are listed.
const nlohmann::json& toolList();

// The instructions returned by "initialize".
std::string_view serverInstructions();

// A value as indented JSON, keys sorted and "/" written plainly; "{}" when it cannot be
// serialised (a string that is not UTF-8).
std::string prettyJson(const nlohmann::json& value);

// The result of "tools/call": locates the application, runs the tool named and wraps its value
// as text, or wraps whatever it throws as a tool error. Never throws.
nlohmann::json callTool(RecorderTools& tools, const std::string& name,
                        const nlohmann::json& arguments);

// Answers one input line: the response object, or null when the line gets no answer (empty,
// not a JSON object, no string "method", or a notification).
nlohmann::json respond(std::string_view line, RecorderTools& tools, const std::string& version);

// Reads requests from `in` until it ends, writing each response to `out` as one line of compact
// JSON, flushed before the next line is read. `version` is the server's own version string
// ("dev" when it has none).
void runProtocolLoop(std::istream& in, std::ostream& out, RecorderTools& tools,
                     const std::string& version);

}  // namespace zarvo::mcp

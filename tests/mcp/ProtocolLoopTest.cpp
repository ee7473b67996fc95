#include "mcp/ProtocolLoop.h"

#include <gtest/gtest.h>

#include <climits>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace zarvo::mcp {
namespace {

using json = nlohmann::json;

// Records every operation called and answers with canned values or errors.
class FakeTools : public RecorderTools {
  public:
    std::vector<std::string> calls;
    json lastArguments;
    json value = json::object();
    bool notRunning = false;
    bool toolThrows = false;

    void locate() override {
        calls.push_back("locate");
        if (notRunning) {
            throw std::runtime_error("ZarvoRecorder is not running");
        }
    }
    json status() override { return run("status"); }
    json configure(const json& arguments) override {
        lastArguments = arguments;
        return run("configure");
    }
    json start(const json& arguments) override {
        lastArguments = arguments;
        return run("start");
    }
    json stop() override { return run("stop"); }

  private:
    json run(const std::string& name) {
        calls.push_back(name);
        if (toolThrows) {
            throw std::runtime_error(name + " failed:\nsecond line");
        }
        return value;
    }
};

// Runs the loop over `input` and returns what it wrote.
std::string runLoop(const std::string& input, FakeTools& tools,
                    const std::string& version = "0.9") {
    std::istringstream in(input);
    std::ostringstream out;
    runProtocolLoop(in, out, tools, version);
    return out.str();
}

std::vector<json> responses(const std::string& output) {
    std::vector<json> parsed;
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        parsed.push_back(json::parse(line));
    }
    return parsed;
}

json answer(const std::string& request, FakeTools& tools, const std::string& version = "0.9") {
    const auto all = responses(runLoop(request + "\n", tools, version));
    EXPECT_EQ(all.size(), 1u) << request;
    return all.empty() ? json() : all.front();
}

json callResult(FakeTools& tools, const json& params) {
    return answer(
        json{{"jsonrpc", "2.0"}, {"id", 1}, {"method", "tools/call"}, {"params", params}}.dump(),
        tools)["result"];
}

TEST(ProtocolLoopFraming, LinesWithoutAnAnswerAreSkippedAndTheNextRequestIsAnswered) {
    const std::vector<std::string> silent = {
        "",
        "not json",
        R"({"jsonrpc":"2.0","id":1,"method":"ping")",     // truncated
        R"([{"jsonrpc":"2.0","id":1,"method":"ping"}])",  // batch
        "42",
        R"("ping")",
        "null",
        R"({"jsonrpc":"2.0","id":1})",
        R"({"jsonrpc":"2.0","id":1,"method":7})",
        R"({"jsonrpc":"2.0","id":1,"method":null})",
        R"({"jsonrpc":"2.0","method":"notifications/initialized"})",
        R"({"jsonrpc":"2.0","method":"tools/call","params":{"name":"recorder_stop"}})",
    };
    for (const auto& line : silent) {
        FakeTools tools;
        const std::string output =
            runLoop(line + "\n" + R"({"jsonrpc":"2.0","id":2,"method":"ping"})" + "\n", tools);
        EXPECT_EQ(output, "{\"id\":2,\"jsonrpc\":\"2.0\",\"result\":{}}\n") << line;
        EXPECT_TRUE(tools.calls.empty()) << line;
    }
}

TEST(ProtocolLoopFraming, AnswersEachRequestOnOneLineInOrder) {
    FakeTools tools;
    const std::string output = runLoop(
        "{\"id\":\"a\",\"method\":\"ping\"}\r\n"  // a CRLF line ending is tolerated
        "{\"id\":\"b\",\"method\":\"tools/list\"}\n"
        "{\"id\":\"c\",\"method\":\"ping\"}",  // the last line needs no line feed
        tools);
    const auto all = responses(output);
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[0]["id"], "a");
    EXPECT_EQ(all[1]["id"], "b");
    EXPECT_EQ(all[2]["id"], "c");
    EXPECT_EQ(output.back(), '\n');
}

TEST(ProtocolLoopFraming, IdIsEchoedWhateverItsType) {
    for (const json& id : {json(7), json("seven"), json(nullptr), json(2.5), json::array({1})}) {
        FakeTools tools;
        const json response = answer(json{{"id", id}, {"method", "ping"}}.dump(), tools);
        EXPECT_EQ(response, (json{{"jsonrpc", "2.0"}, {"id", id}, {"result", json::object()}}));
    }
}

TEST(ProtocolLoopFraming, ToolTextWithLineBreaksAndSlashesStaysOnOneLine) {
    FakeTools tools;
    tools.value = {{"file", "/Movies/take 1.mov"}, {"note", "a\nb"}};
    const std::string output =
        runLoop(R"({"id":1,"method":"tools/call","params":{"name":"recorder_status"}})"
                "\n",
                tools);
    ASSERT_EQ(output.find('\n'), output.size() - 1);
    EXPECT_EQ(output.find("\\/"), std::string::npos);
    EXPECT_NE(output.find("/Movies/take 1.mov"), std::string::npos);
}

TEST(ProtocolLoopFraming, ErrorTextThatIsNotUtf8StillGetsAnAnswer) {
    class BrokenText : public FakeTools {
        json stop() override { throw std::runtime_error("bad \xff byte"); }
    } tools;
    const std::string output =
        runLoop(R"({"id":1,"method":"tools/call","params":{"name":"recorder_stop"}})"
                "\n"
                R"({"id":2,"method":"ping"})"
                "\n",
                tools);
    const auto all = responses(output);
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0]["result"]["isError"], true);
    EXPECT_EQ(all[0]["result"]["content"][0]["text"], "bad \xEF\xBF\xBD byte");
    EXPECT_EQ(all[1]["id"], 2);
}

TEST(ProtocolLoopFraming, DeeplyNestedRequestsAreSkippedWithoutCrashing) {
    const std::string ping = R"({"id":2,"method":"ping"})";
    const auto nested = [](size_t levels) {
        return R"({"id":1,"method":"ping","params":{"x":)" + std::string(levels, '[') +
               std::string(levels, ']') + "}}";
    };
    FakeTools tools;
    const auto deep =
        responses(runLoop(R"({"id":)" + std::string(200000, '[') + std::string(200000, ']') +
                              R"(,"method":"ping"})" + "\n" + nested(200000) + "\n" + ping + "\n",
                          tools));
    ASSERT_EQ(deep.size(), 1u);
    EXPECT_EQ(deep[0]["id"], 2);

    // Ordinary nesting, and brackets or escaped quotes inside strings, do not count.
    const std::string bracketsInText =
        R"({"id":3,"method":"ping","params":{"t":"\"[[)" + std::string(2000, '[') + R"("}})";
    const auto shallow = responses(runLoop(nested(100) + "\n" + bracketsInText + "\n", tools));
    ASSERT_EQ(shallow.size(), 2u);
    EXPECT_EQ(shallow[0]["id"], 1);
    EXPECT_EQ(shallow[1]["id"], 3);
}

TEST(ProtocolLoopMethods, InitializeEchoesTheProtocolVersionOrGivesTheDefault) {
    FakeTools tools;
    const json echoed = answer(
        R"({"id":1,"method":"initialize","params":{"protocolVersion":"2099-01-01"}})", tools);
    EXPECT_EQ(echoed["result"]["protocolVersion"], "2099-01-01");

    for (const std::string params : {"", R"(,"params":{})", R"(,"params":{"protocolVersion":5})",
                                     R"(,"params":[1])", R"(,"params":"x")"}) {
        const json response = answer(R"({"id":1,"method":"initialize")" + params + "}", tools);
        EXPECT_EQ(response["result"]["protocolVersion"], "2024-11-05") << params;
    }
    EXPECT_TRUE(tools.calls.empty());
}

TEST(ProtocolLoopMethods, InitializeDescribesTheServer) {
    FakeTools tools;
    const json result = answer(R"({"id":1,"method":"initialize"})", tools, "1.4")["result"];
    EXPECT_EQ(result.size(), 4u);
    EXPECT_EQ(result["capabilities"], (json{{"tools", json::object()}}));
    EXPECT_EQ(result["serverInfo"], (json{{"name", "zarvo-recorder"}, {"version", "1.4"}}));
    EXPECT_EQ(result["instructions"], std::string(serverInstructions()));
    EXPECT_EQ(result["instructions"].get<std::string>().rfind("Controls the ZarvoRecorder app", 0),
              0u);

    const json unversioned = answer(R"({"id":1,"method":"initialize"})", tools, "")["result"];
    EXPECT_EQ(unversioned["serverInfo"]["version"], "dev");
}

TEST(ProtocolLoopMethods, MethodsNotOfferedAreJsonRpcErrors) {
    for (const std::string method : {"resources/list", "Ping", "tools/List", ""}) {
        FakeTools tools;
        const json response = answer(json{{"id", 3}, {"method", method}}.dump(), tools);
        EXPECT_EQ(
            response,
            (json{{"jsonrpc", "2.0"},
                  {"id", 3},
                  {"error", {{"code", -32601}, {"message", "method not found: " + method}}}}));
    }
}

TEST(ProtocolLoopMethods, ToolsAreListedWithoutAHandshake) {
    FakeTools tools;
    const json response = answer(R"({"id":1,"method":"tools/list","params":null})", tools);
    EXPECT_EQ(response["result"], (json{{"tools", toolList()}}));
    EXPECT_TRUE(tools.calls.empty());
}

TEST(ToolList, FourToolsInOrderWithClosedObjectSchemas) {
    const json& tools = toolList();
    ASSERT_EQ(tools.size(), 4u);
    const std::vector<std::string> names = {"recorder_status", "recorder_configure",
                                            "recorder_start", "recorder_stop"};
    for (size_t i = 0; i < names.size(); ++i) {
        const json& tool = tools[i];
        EXPECT_EQ(tool.size(), 3u);
        EXPECT_EQ(tool["name"], names[i]);
        EXPECT_TRUE(tool["description"].is_string());
        const json& schema = tool["inputSchema"];
        EXPECT_EQ(schema.size(), 3u);
        EXPECT_EQ(schema["type"], "object");
        EXPECT_EQ(schema["additionalProperties"], false);
        EXPECT_TRUE(schema["properties"].is_object());
    }
    EXPECT_TRUE(tools[0]["inputSchema"]["properties"].empty());
    EXPECT_TRUE(tools[3]["inputSchema"]["properties"].empty());
    EXPECT_EQ(tools[1]["inputSchema"]["properties"], tools[2]["inputSchema"]["properties"]);
}

TEST(ToolList, SettingsPropertiesCarryTheirTypesAndChoices) {
    const json& properties = toolList()[1]["inputSchema"]["properties"];
    const json types = {{"sources", "array"}, {"source", "string"},  {"codec", "string"},
                        {"fps", "number"},    {"bitrate", "number"}, {"folder", "string"},
                        {"name", "string"},   {"output", "string"},  {"layout", "string"},
                        {"sound", "string"},  {"gap", "integer"},    {"performance", "boolean"},
                        {"width", "integer"}, {"height", "integer"}};
    ASSERT_EQ(properties.size(), types.size());
    for (const auto& [key, type] : types.items()) {
        const json& property = properties[key];
        EXPECT_EQ(property["type"], type) << key;
        EXPECT_TRUE(property["description"].is_string()) << key;
        const bool hasEnum = key == "codec" || key == "output" || key == "layout";
        EXPECT_EQ(property.size(), 2u + (hasEnum ? 1 : 0) + (key == "sources" ? 1 : 0)) << key;
    }
    EXPECT_EQ(properties["sources"]["items"], (json{{"type", "string"}}));
    EXPECT_EQ(properties["codec"]["enum"],
              json::parse(R"(["h264","hevc","prores422","prores4444"])"));
    EXPECT_EQ(properties["output"]["enum"], json::parse(R"(["separate","assembled","both"])"));
    EXPECT_EQ(properties["layout"]["enum"], json::parse(R"(["row","column","grid","focus"])"));
}

TEST(ToolList, DescriptionsKeepTheirQuotesAndPunctuation) {
    const json& tools = toolList();
    EXPECT_NE(tools[0]["description"].get<std::string>().find(
                  R"(sound: "computer", a source's title, or "")"),
              std::string::npos);
    EXPECT_NE(
        tools[2]["description"].get<std::string>().find("an assembled picture too large\u2026)."),
        std::string::npos);
    const std::string sound = tools[1]["inputSchema"]["properties"]["sound"]["description"];
    EXPECT_EQ(sound.rfind(R"(What sound is recorded: "computer" for)", 0), 0u);
    // Non-ASCII text goes out as UTF-8, not as \u escapes.
    FakeTools fake;
    EXPECT_NE(runLoop(R"({"id":1,"method":"tools/list"})"
                      "\n",
                      fake)
                  .find("\u2026"),
              std::string::npos);
}

TEST(ToolCall, EachToolRunsAfterLocatingTheApplication) {
    const std::vector<std::pair<std::string, std::string>> tools = {
        {"recorder_status", "status"},
        {"recorder_configure", "configure"},
        {"recorder_start", "start"},
        {"recorder_stop", "stop"}};
    for (const auto& [name, operation] : tools) {
        FakeTools fake;
        fake.value = {{"state", "idle"}};
        const json result = callResult(fake, {{"name", name}});
        EXPECT_EQ(fake.calls, (std::vector<std::string>{"locate", operation})) << name;
        EXPECT_EQ(result,
                  (json{{"content", {{{"type", "text"}, {"text", "{\n  \"state\": \"idle\"\n}"}}}},
                        {"isError", false}}))
            << name;
    }
}

TEST(ToolCall, ArgumentsArePassedOnOnlyWhenTheyAreAnObject) {
    FakeTools fake;
    callResult(fake, {{"name", "recorder_configure"}, {"arguments", {{"fps", 30}}}});
    EXPECT_EQ(fake.lastArguments, (json{{"fps", 30}}));
    callResult(fake, {{"name", "recorder_start"}, {"arguments", json::array({1, 2})}});
    EXPECT_EQ(fake.lastArguments, json::object());
    callResult(fake, {{"name", "recorder_start"}});
    EXPECT_EQ(fake.lastArguments, json::object());
}

TEST(ToolCall, FailuresBecomeToolErrorsNotJsonRpcErrors) {
    FakeTools notRunning;
    notRunning.notRunning = true;
    const json response =
        answer(R"({"id":9,"method":"tools/call","params":{"name":"recorder_status"}})", notRunning);
    EXPECT_FALSE(response.contains("error"));
    EXPECT_EQ(response["result"],
              (json{{"content", {{{"type", "text"}, {"text", "ZarvoRecorder is not running"}}}},
                    {"isError", true}}));
    EXPECT_EQ(notRunning.calls, std::vector<std::string>{"locate"});

    FakeTools throwing;
    throwing.toolThrows = true;
    const json thrown = callResult(throwing, {{"name", "recorder_stop"}});
    EXPECT_EQ(thrown["isError"], true);
    EXPECT_EQ(thrown["content"][0]["text"], "stop failed:\nsecond line");

    class ThrowsInt : public FakeTools {
        json status() override { throw 42; }
    } odd;
    const json oddResult = callResult(odd, {{"name", "recorder_status"}});
    EXPECT_EQ(oddResult["isError"], true);
    EXPECT_FALSE(oddResult["content"][0]["text"].get<std::string>().empty());
}

TEST(ToolCall, UnknownOrMissingNamesFailAfterLocating) {
    for (const auto& [params, text] : std::vector<std::pair<json, std::string>>{
             {{{"name", "recorder_pause"}}, "unknown tool recorder_pause"},
             {json::object(), "unknown tool "},
             {{{"name", 3}}, "unknown tool "}}) {
        FakeTools fake;
        const json result = callResult(fake, params);
        EXPECT_EQ(fake.calls, std::vector<std::string>{"locate"});
        EXPECT_EQ(result["isError"], true);
        EXPECT_EQ(result["content"][0]["text"], text);
    }
    FakeTools notRunning;
    notRunning.notRunning = true;
    EXPECT_EQ(callResult(notRunning, json::object())["content"][0]["text"],
              "ZarvoRecorder is not running");
}

TEST(PrettyJson, IndentedSortedAndSlashesPlain) {
    const json value = json::parse(R"({"b":{"z":1,"a":[true,null]},"a":"/tmp/x.mov"})");
    EXPECT_EQ(
        prettyJson(value),
        "{\n  \"a\": \"/tmp/x.mov\",\n  \"b\": {\n    \"a\": [\n      true,\n      null\n    ],\n"
        "    \"z\": 1\n  }\n}");
}

TEST(PrettyJson, UnserialisableValuesBecomeAnEmptyObject) {
    EXPECT_EQ(prettyJson(json{{"file", "bad \xc3"}}), "{}");
    FakeTools fake;
    fake.value = json{{"title", "\xff"}};
    const json result = callResult(fake, {{"name", "recorder_status"}});
    EXPECT_EQ(result["content"][0]["text"], "{}");
    EXPECT_EQ(result["isError"], false);
}

TEST(PreferredPort, ReadsASignedDecimalOrFallsBack) {
    EXPECT_EQ(preferredPortFrom(nullptr), 9231);
    EXPECT_EQ(preferredPortFrom(""), 9231);
    EXPECT_EQ(preferredPortFrom("9300"), 9300);
    EXPECT_EQ(preferredPortFrom("+9300"), 9300);
    EXPECT_EQ(preferredPortFrom("-5"), -5);
    EXPECT_EQ(preferredPortFrom("007"), 7);
    for (const char* bad : {"+", "-", " 9300", "9300 ", "93a0", "0x10", "1e3", "+-1", "9300.0"}) {
        EXPECT_EQ(preferredPortFrom(bad), 9231) << bad;
    }
    // The last port tried must still be an int.
    const std::string largest = std::to_string(INT_MAX - (kPortsToTry - 1));
    EXPECT_EQ(preferredPortFrom(largest.c_str()), INT_MAX - (kPortsToTry - 1));
    EXPECT_EQ(preferredPortFrom(std::to_string(INT_MAX - (kPortsToTry - 2)).c_str()), 9231);
    EXPECT_EQ(preferredPortFrom("99999999999999999999999"), 9231);
}

}  // namespace
}  // namespace zarvo::mcp

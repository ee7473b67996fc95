// zarvo-recorder-mcp: the MCP server an AI assistant's host starts to drive a running
// ZarvoRecorder. Requests come on standard input, answers go to standard output, and nothing is
// ever written to standard error (the host may treat anything there as a fault).

#include <curl/curl.h>

#include <csignal>
#include <cstdlib>
#include <iostream>

#include "mcp/InstalledVersion.h"
#include "mcp/ProtocolLoop.h"
#include "mcp/RecorderClient.h"

int main() {
    // A host that closes its end early must not kill the server halfway through an answer.
    std::signal(SIGPIPE, SIG_IGN);
    curl_global_init(CURL_GLOBAL_DEFAULT);

    zarvo::mcp::RecorderSearch search;
    search.preferredPort = zarvo::mcp::preferredPortFrom(std::getenv("ZARVO_OSCQUERY_PORT"));
    zarvo::mcp::RecorderClientTools tools(search);

    zarvo::mcp::runProtocolLoop(std::cin, std::cout, tools, zarvo::mcp::runningVersion());

    curl_global_cleanup();
    return 0;
}

// The HTTP side of r64tool serve: the listening socket, worker processes forked after
// binding it (each with its own handles and caches), the HTTP library's settings, CORS,
// caching headers, the access log and a clean stop on SIGINT or SIGTERM.
#ifndef R64TOOL_SERVE_HTTP_GLUE_H
#define R64TOOL_SERVE_HTTP_GLUE_H

#include <string>

#include "service.h"

namespace r64serve {

struct ServeOptions {
    ServiceConfig service;
    std::string bind = "127.0.0.1";
    int port = 8080; // 0: any free port, printed at start
    int workers = 1;
};

// Serves until SIGINT or SIGTERM; returns the exit status. Throws a ToolError when the
// folder cannot be served or the address cannot be bound.
int run_server(const ServeOptions &options);

} // namespace r64serve

#endif

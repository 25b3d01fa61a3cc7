// serve in r64tool: the server is a program of its own, r64tool-serve, so that the
// other commands never load the HTTP stack and the TLS library it brings, whose
// start-up alone costs more than a small command's whole run. This runs it in the
// tool's place, with the same arguments and the same standard streams.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "cli.h"
#include "commands.h"
#include "progress.h"

namespace r64tool {

namespace {

// The directory of the running program, or "" when the system does not say.
std::string own_directory() {
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) {
        return {};
    }
    const std::string self(path, static_cast<std::size_t>(n));
    const std::size_t slash = self.rfind('/');
    return slash == std::string::npos ? std::string() : self.substr(0, slash);
}

} // namespace

int cmd_serve(int argc, char **argv) {
    std::vector<std::string> args = {"r64tool-serve", "serve"};
    if (quiet()) {
        args.emplace_back("--quiet");
    }
    args.insert(args.end(), argv, argv + argc);
    std::vector<char *> pointers;
    for (std::string &a : args) {
        pointers.push_back(a.data());
    }
    pointers.push_back(nullptr);

    const std::string dir = own_directory();
    const std::string places[] = {dir + "/r64tool-serve", dir + "/" R64TOOL_SERVE_FROM_BIN};
    std::fflush(stdout);
    int reason = ENOENT;
    for (const std::string &place : places) {
        execv(place.c_str(), pointers.data());
        if (errno != ENOENT) {
            reason = errno;
        }
    }
    fail("r64tool-serve", "cannot start the server (looked beside r64tool and in " + dir +
                              "/" R64TOOL_SERVE_FROM_BIN "): " + std::strerror(reason));
}

} // namespace r64tool

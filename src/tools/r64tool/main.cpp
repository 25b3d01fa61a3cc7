// r64tool: imports pictures into r64 files and builds their pyramids, converts them to
// cr, exports levels as PNG, reports and verifies files. Dispatches to the commands and
// reports their failures (running out of memory included) on standard error with
// exit status 1.
#include <cstdio>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <new>
#include <string>
#include <unistd.h>

#include "cli.h"
#include "commands.h"
#include "progress.h"

namespace {

constexpr char kUsage[] =
    "usage: r64tool <command> [arguments] [options]\n"
    "\n"
    "commands:\n"
    "  import  PICTURE FILE.r64   read a PNG, JPEG, TIFF or PNM picture into an r64\n"
    "                             file and build all its reduced levels\n"
    "  tocr    FILE.r64 FILE.cr   convert an r64 file into a compressed cr file\n"
    "  export  FILE OUT.png       write one level of an r64 or cr file as PNG\n"
    "  info    FILE               list the levels of an r64 or cr file\n"
    "  verify  FILE               read every tile and report the damaged ones\n"
    "  serve   DIR                serve the files under DIR over HTTP (IIIF, Deep Zoom)\n"
    "\n"
    "'r64tool <command> --help' describes a command and its options. Every command\n"
    "takes --quiet (-q): nothing but errors is printed. Progress bars appear on\n"
    "standard error only when it is a terminal.\n";

// Takes --quiet and -q out of a command's arguments; with them, standard output goes
// to /dev/null (the library's own lines included) and no progress is drawn.
int take_quiet(int argc, char **argv) {
    int kept = 0;
    for (int i = 0; i < argc; ++i) {
        if (std::strcmp(argv[i], "--") == 0) {
            for (; i < argc; ++i) {
                argv[kept++] = argv[i];
            }
            break;
        }
        if (std::strcmp(argv[i], "--quiet") == 0 || std::strcmp(argv[i], "-q") == 0) {
            r64tool::set_quiet(true);
        } else {
            argv[kept++] = argv[i];
        }
    }
    if (r64tool::quiet()) {
        const int null = open("/dev/null", O_WRONLY);
        if (null >= 0) {
            dup2(null, STDOUT_FILENO);
            close(null);
        }
    }
    return kept;
}

struct Command {
    const char *name;
    int (*run)(int, char **);
};

#ifdef R64TOOL_SERVER_PROGRAM
// r64tool-serve: the server alone, run by `r64tool serve` as `r64tool-serve serve ...`.
constexpr Command kCommands[] = {{"serve", r64tool::cmd_serve}};
#else
// serve here starts r64tool-serve in this process's place (serve_launch.cpp).
constexpr Command kCommands[] = {
    {"import", r64tool::cmd_import}, {"tocr", r64tool::cmd_tocr},
    {"export", r64tool::cmd_export}, {"info", r64tool::cmd_info},
    {"verify", r64tool::cmd_verify}, {"serve", r64tool::cmd_serve},
};
#endif

} // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fputs(kUsage, stderr);
        return 1;
    }
    const std::string name = argv[1];
    if (name == "--help" || name == "-h" || name == "help") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    for (const Command &c : kCommands) {
        if (name != c.name) {
            continue;
        }
        try {
            const int status = c.run(take_quiet(argc - 2, argv + 2), argv + 2);
            std::fflush(stdout);
            return status;
        } catch (const r64tool::ToolError &e) {
            std::fflush(stdout);
            if (e.subject.empty()) {
                std::fprintf(stderr, "r64tool %s: %s\n", c.name, e.reason.c_str());
            } else {
                std::fprintf(stderr, "r64tool %s: %s: %s\n", c.name, e.subject.c_str(),
                             e.reason.c_str());
            }
            return 1;
        } catch (const std::bad_alloc &) {
            // No exception leaves main: an uncaught one would end the tool with SIGABRT.
            std::fflush(stdout);
            std::fprintf(stderr, "r64tool %s: out of memory\n", c.name);
            return 1;
        } catch (const std::exception &e) {
            std::fflush(stdout);
            std::fprintf(stderr, "r64tool %s: %s\n", c.name, e.what());
            return 1;
        }
    }
    std::fprintf(stderr, "r64tool: unknown command '%s'\n\n%s", name.c_str(), kUsage);
    return 1;
}

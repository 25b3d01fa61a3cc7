// tocr: an r64 file with all its levels into a new cr file through
// cr_write_file_threads, on as many threads as asked (default: every processor).
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string>
#include <thread>

#include "cli.h"
#include "commands.h"
#include "handles.h"
#include "progress.h"
#include "target_file.h"

namespace r64tool {

const char kTocrHelp[] =
    "usage: r64tool tocr FILE.r64 FILE.cr [--tile N] [--threads N]\n"
    "\n"
    "Converts an r64 file, which must hold all of its levels (as 'r64tool import'\n"
    "leaves it), into a cr file: the top level stores its pixels, every level below\n"
    "its differences from the level above, each tile as JPEG when both of its sides\n"
    "are 16 pixels or more and stored as is otherwise.\n"
    "\n"
    "  --tile N      tile edge in pixels, 1 to 256 (default 256)\n"
    "  --threads N   threads that encode and decode tiles, 1 to 64 (default: the\n"
    "                number of processors); the file is the same whatever N\n"
    "\n"
    "The file is written under a temporary name beside FILE.cr and renamed when\n"
    "complete.\n";

int cmd_tocr(int argc, char **argv) {
    Args args(argc, argv, {"--tile", "--threads"}, {});
    if (args.help_asked()) {
        std::fputs(kTocrHelp, stdout);
        return 0;
    }
    if (args.positional().size() != 2) {
        fail("", "expects an r64 file and a cr file name (see --help)");
    }
    const std::string &src = args.positional()[0];
    const std::string &dst = args.positional()[1];
    const int tile = args.int_value("--tile", 256, 1, 256);
    const int cores = static_cast<int>(std::thread::hardware_concurrency());
    const int threads = args.int_value("--threads", std::clamp(cores, 1, 64), 1, 64);

    R64Ptr f = open_r64(src);
    const int levels = r64_table_levels(f.get());
    if (levels == 0) {
        fail(src, "has no level (a side of 2 pixels or less)");
    }
    for (int level = 0; level < levels; ++level) {
        if (r64_check_level(f.get(), level) == 0) {
            fail(src, "level " + std::to_string(level) + " of " + std::to_string(levels) +
                          " is incomplete; build the levels first ('r64tool import')");
        }
    }
    TargetFile out(dst);
    int rc = 0;
    {
        LibraryProgress progress(dst, 0, f->header.type == 'P' ? 3 : 1);
        errno = 0; // after the progress bar's terminal checks, which may set it
        rc = cr_write_file_threads(out.temp_path().c_str(), 0644, tile, f.get(), threads);
    }
    std::fflush(stdout);
    if (rc != 0) {
        fail_lib(dst, "cannot convert " + src);
    }
    out.commit();
    std::printf("%s: cr, tile %d, %d x %d, %d levels\n", dst.c_str(), tile, f->header.width,
                f->header.height, levels);
    return 0;
}

} // namespace r64tool

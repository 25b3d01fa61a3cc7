// StatusTool: runs the built r64info as a process on crafted files and compares its
// standard output, standard error and exit status byte for byte.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "scratch_dir.h"

using r64_test::Bytes;
using r64_test::cr_header;
using r64_test::r64_header;

extern char **environ;

namespace {

class StatusTool : public ::testing::Test {
  protected:
    // Runs r64info with the given arguments and returns its standard output, its
    // standard error and its exit status as one string each, "out|err|status".
    std::string run(const std::vector<std::string> &args) {
        const std::string tool = std::string(R64_BUILD_DIR) + "/r64info";
        const std::string out = dir.file("stdout"), err = dir.file("stderr");
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        std::vector<char *> argv{const_cast<char *>(tool.c_str())};
        for (const std::string &a : args) {
            argv.push_back(const_cast<char *>(a.c_str()));
        }
        argv.push_back(nullptr);
        pid_t pid = 0;
        const int spawned = posix_spawn(&pid, tool.c_str(), &fa, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&fa);
        int status = 0;
        if (spawned != 0 || waitpid(pid, &status, 0) != pid) {
            return "cannot run " + tool;
        }
        const Bytes o = r64_test::read_bytes(out), e = r64_test::read_bytes(err);
        return std::string(o.begin(), o.end()) + "|" + std::string(e.begin(), e.end()) + "|" +
               std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
    }

    // A file of the given bytes followed by `extra` zero bytes.
    std::string crafted(Bytes bytes, size_t extra = 0) {
        bytes.resize(bytes.size() + extra, 0);
        const std::string p = dir.file("f" + std::to_string(files_++));
        r64_test::write_bytes(p, bytes);
        return p;
    }

    r64_test::ScratchDir dir;
    int files_ = 0;
};

} // namespace

// Faults caught: a wrong usage line (its spelling is the tool's own), code, perror line
// or stream; a short file written to or taken for a header; the r64 attempt's code shown.
TEST_F(StatusTool, Failures) {
    EXPECT_EQ(run({}), "|too few argments\n|1");
    const std::string missing = dir.file("missing.r64");
    EXPECT_EQ(run({missing}),
              "|cannot open the file " + missing + " -1\nNo such file or directory\n|1");
    EXPECT_EQ(run({dir.path()}), "|cannot open the file " + dir.path() + " -1\nIs a directory\n|1");
    // Eight valid r64 bytes of an unknown type: the cr attempt then finds the file
    // shorter than its header.
    const std::pair<Bytes, int> files[] = {{{}, -4},
                                           {{'R', '6', '4', 'G', 0}, -4},
                                           {r64_header('Q', 64, 64), -4},
                                           {Bytes(40, 'x'), -5}};
    for (const auto &[bytes, code] : files) {
        const std::string p = crafted(bytes);
        EXPECT_EQ(run({p}),
                  "|cannot open the file " + p + " " + std::to_string(code) + "\nSuccess\n|1");
        EXPECT_EQ(r64_test::file_size(p), static_cast<long>(bytes.size()));
    }
}

// Faults caught: levels counted from the table, not the length; a complete 'B' pyramid
// one level short; host-order or unsigned sizes; extra arguments used; the file written.
TEST_F(StatusTool, R64Reports) {
    // Bytes of a complete 'G' 64 x 64 pyramid after its header: 64, 32, 16, 8, 4 square;
    // of a 'B' one: up to the end of the packed rows of its 4-pixel level.
    constexpr size_t kGrey = 4096 + 1024 + 256 + 64 + 16, kBit = 5448 + 4 - 8;
    const std::string full = crafted(r64_header('G', 64, 64), kGrey);
    struct stat before {};
    ASSERT_EQ(stat(full.c_str(), &before), 0);
    EXPECT_EQ(run({full, "ignored", "too"}), "G 64dot 64dot 5\n||0");
    struct stat after {};
    ASSERT_EQ(stat(full.c_str(), &after), 0);
    EXPECT_EQ(after.st_size, before.st_size);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);

    const std::pair<std::string, std::string> cases[] = {
        {crafted(r64_header('G', 64, 64), kGrey - 1), "G 64dot 64dot 4\n"},
        {crafted(r64_header('G', 64, 64), 4095), "G 64dot 64dot 0\n"},
        {crafted(r64_header('B', 64, 64), kBit), "B 64dot 64dot 5\n"},
        {crafted(r64_header('B', 64, 64), kBit - 1), "B 64dot 64dot 4\n"},
        {crafted(r64_header('P', 300, 0x0102)), "P 300dot 258dot 0\n"},
        {crafted(r64_header('G', -32768, 5)), "G -32768dot 5dot 0\n"},
    };
    for (const auto &[path, line] : cases) {
        EXPECT_EQ(run({path}), line + "||0");
    }
}

// Faults caught: a cr file printed with a type character, its tile size or sizes
// swapped, its level count taken from the file's length.
TEST_F(StatusTool, CrReports) {
    EXPECT_EQ(run({crafted(cr_header(64, 64, 256, 6), 6 * 12)}), "256 64dot 64dot 5\n||0");
    // 300 x 258 halves to 150 x 129, 75 x 65, 38 x 33, 19 x 17, 10 x 9, 5 x 5, 3 x 3.
    EXPECT_EQ(run({crafted(cr_header(300, 0x0102, 64, 0))}), "64 300dot 258dot 8\n||0");
    EXPECT_EQ(run({crafted(cr_header(2, 100, 64, 0))}), "64 2dot 100dot 0\n||0");
}

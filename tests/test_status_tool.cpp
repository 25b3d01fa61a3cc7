// StatusTool: runs the built r64info as a process on crafted files and compares its
// standard output, standard error and exit status byte for byte.
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "scratch_dir.h"

using r64_test::Bytes;
using r64_test::cr_header;
using r64_test::r64_header;
using r64_test::ScratchDir;

extern char **environ;

namespace {

struct ToolRun {
    std::string out;
    std::string err;
    int status = -1;
};

std::string as_string(const Bytes &b) {
    return std::string(b.begin(), b.end());
}

class StatusTool : public ::testing::Test {
  protected:
    // Runs r64info with the given arguments, its output captured in files.
    ToolRun run(const std::vector<std::string> &args) {
        const std::string tool = std::string(R64_BUILD_DIR) + "/r64info";
        const std::string out = dir.file("stdout");
        const std::string err = dir.file("stderr");
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
        ToolRun r;
        pid_t pid = 0;
        if (posix_spawn(&pid, tool.c_str(), &fa, nullptr, argv.data(), environ) != 0) {
            ADD_FAILURE() << "cannot start " << tool;
            return r;
        }
        posix_spawn_file_actions_destroy(&fa);
        int status = 0;
        waitpid(pid, &status, 0);
        r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        r.out = as_string(r64_test::read_bytes(out));
        r.err = as_string(r64_test::read_bytes(err));
        return r;
    }

    std::string crafted(const std::string &name, Bytes bytes, size_t extra = 0) {
        bytes.resize(bytes.size() + extra, 0);
        const std::string p = dir.file(name);
        r64_test::write_bytes(p, bytes);
        return p;
    }

    void expect(const ToolRun &r, const std::string &out, const std::string &err, int status) {
        EXPECT_EQ(r.out, out);
        EXPECT_EQ(r.err, err);
        EXPECT_EQ(r.status, status);
    }

    ScratchDir dir;
};

// Bytes of a complete 'G' 64 x 64 pyramid after its header: 64, 32, 16, 8, 4 square.
constexpr size_t kGrey64Levels = 4096 + 1024 + 256 + 64 + 16;

} // namespace

// Faults caught: a wrong usage message (its spelling is the tool's own) or status.
TEST_F(StatusTool, NoArgument) {
    expect(run({}), "", "too few argments\n", 1);
}

// Faults caught: a missing or unreadable path reported with the wrong code, without
// the system's message, or on standard output.
TEST_F(StatusTool, FilesThatCannotBeOpened) {
    const std::string missing = dir.file("missing.r64");
    expect(run({missing}), "",
           "cannot open the file " + missing + " -1\nNo such file or directory\n", 1);
    expect(run({dir.path()}), "", "cannot open the file " + dir.path() + " -1\nIs a directory\n",
           1);
}

// Faults caught: an empty or short file created or taken for a header, the code of
// the r64 attempt reported instead of the cr attempt's.
TEST_F(StatusTool, FilesThatAreNoRasters) {
    const std::string empty = crafted("empty", {});
    expect(run({empty}), "", "cannot open the file " + empty + " -4\nSuccess\n", 1);
    EXPECT_EQ(r64_test::file_size(empty), 0);
    const std::string shrt = crafted("short", {'R', '6', '4', 'G', 0});
    expect(run({shrt}), "", "cannot open the file " + shrt + " -4\nSuccess\n", 1);
    // Eight valid r64 bytes of a type the format does not know: the cr attempt
    // then finds the file shorter than its header.
    const std::string bad_type = crafted("badtype", r64_header('Q', 64, 64));
    expect(run({bad_type}), "", "cannot open the file " + bad_type + " -4\nSuccess\n", 1);
    const std::string text = crafted("text", Bytes(40, 'x'));
    expect(run({text}), "", "cannot open the file " + text + " -5\nSuccess\n", 1);
}

// Faults caught: levels counted from the level table instead of the file's length,
// a partial level counted, extra arguments used, the file written to.
TEST_F(StatusTool, GreyPyramid) {
    const std::string full = crafted("full.r64", r64_header('G', 64, 64), kGrey64Levels);
    struct stat before {};
    ASSERT_EQ(stat(full.c_str(), &before), 0);
    expect(run({full, "ignored", "too"}), "G 64dot 64dot 5\n", "", 0);
    struct stat after {};
    ASSERT_EQ(stat(full.c_str(), &after), 0);
    EXPECT_EQ(after.st_size, before.st_size);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);

    expect(run({crafted("one_short.r64", r64_header('G', 64, 64), kGrey64Levels - 1)}),
           "G 64dot 64dot 4\n", "", 0);
    expect(run({crafted("partial.r64", r64_header('G', 64, 64), 4095)}), "G 64dot 64dot 0\n", "",
           0);
    expect(run({crafted("header.r64", r64_header('P', 100, 50))}), "P 100dot 50dot 0\n", "", 0);
}

// Fault caught: a complete 'B' pyramid reported one level short because its last
// level's eightfold area is not in the file.
TEST_F(StatusTool, BitPyramid) {
    // Level k's packed rows end at: 8 + 64*8, 4104 + 32*4, 5128 + 16*2, 5384 + 8, 5448 + 4.
    expect(run({crafted("b.r64", r64_header('B', 64, 64), 5452 - 8)}), "B 64dot 64dot 5\n", "", 0);
    expect(run({crafted("b4.r64", r64_header('B', 64, 64), 5451 - 8)}), "B 64dot 64dot 4\n", "", 0);
}

// Faults caught: stored fields read in host order, signed sizes printed unsigned.
TEST_F(StatusTool, BigEndianFieldsAndSignedSizes) {
    expect(run({crafted("be.r64", r64_header('P', 300, 0x0102))}), "P 300dot 258dot 0\n", "", 0);
    expect(run({crafted("neg.r64", r64_header('G', -32768, 5))}), "G -32768dot 5dot 0\n", "", 0);
}

// Faults caught: a cr file printed with a type character, its tile size or sizes
// swapped, its level count taken from the file's length.
TEST_F(StatusTool, CrFiles) {
    Bytes cr = cr_header(64, 64, 256, 6);
    cr.resize(16 + 6 * 12, 0);
    expect(run({crafted("a.cr", cr)}), "256 64dot 64dot 5\n", "", 0);
    // 300 x 258 halves to 150 x 129, 75 x 65, 38 x 33, 19 x 17, 10 x 9, 5 x 5, 3 x 3.
    expect(run({crafted("b.cr", cr_header(300, 0x0102, 64, 0))}), "64 300dot 258dot 8\n", "", 0);
    expect(run({crafted("c.cr", cr_header(2, 100, 64, 0))}), "64 2dot 100dot 0\n", "", 0);
}

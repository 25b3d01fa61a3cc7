// The panic routine, run in a child process so its exit can be observed, and the
// version records as they stand in the built status tool.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "r64/r64.h"

namespace {

struct Outcome {
    std::string err;
    pid_t pid;
    int status;
};

// Runs panic(tag) in a child whose standard error is a pipe.
Outcome run_panic(void (*panic)(const char *), const char *tag) {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    std::fflush(nullptr); // nothing buffered here may be written twice
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        dup2(fds[1], STDERR_FILENO);
        panic(tag);
    }
    close(fds[1]);
    Outcome out{{}, pid, 0};
    char buf[256];
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) {
        out.err.append(buf, static_cast<std::size_t>(n));
    }
    close(fds[0]);
    EXPECT_EQ(waitpid(pid, &out.status, 0), pid);
    return out;
}

std::string framed(const std::string &tag, pid_t pid) {
    return "\n************\n" + tag + " (" + std::to_string(pid) + ")\n************\n";
}

// Exact framing, the child's own process id, exit status 1, for both entries
// and for an empty tag.
TEST(Panic, PrintsTheFramedTagAndExitsWithStatusOne) {
    for (auto *panic : {er_panic, er_panic_x}) {
        for (const char *tag : {"_cr_write(2)", ""}) {
            const Outcome o = run_panic(panic, tag);
            EXPECT_EQ(o.err, framed(tag, o.pid));
            ASSERT_TRUE(WIFEXITED(o.status));
            EXPECT_EQ(WEXITSTATUS(o.status), 1);
        }
    }
    EXPECT_EQ(get_tid_ptr, nullptr);
}

// The records are linked into the tool although nothing refers to them, with
// their texts intact and not chained to each other.
TEST(Panic, VersionRecordsStandInTheStatusTool) {
    std::ifstream in(R64_BUILD_DIR "/r64info", std::ios::binary);
    ASSERT_TRUE(in.good());
    const std::string image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (const char *text :
         {"SR.code", "MA.code", "QUIVANTO.Architecture", "posix.MacOSX.Interface",
          "ver.B.b17.01(BRIMOLA)", "QUIVANTO source code ",
          "machine (posix.MacOSX) dependent library ", src_code_version.publisher}) {
        EXPECT_NE(image.find(std::string(text) + '\0'), std::string::npos) << text;
    }
    for (const VERSION *v : {&src_code_version, &machine_code_version}) {
        EXPECT_EQ(v->year, 2008);
        EXPECT_EQ(v->month, 1);
        EXPECT_EQ(v->date, 11);
        EXPECT_EQ(v->next, nullptr);
    }
    EXPECT_STREQ(src_code_version.publisher, machine_code_version.publisher);
}

} // namespace

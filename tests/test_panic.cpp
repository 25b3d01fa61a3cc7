// The panic routine, run in a child process so its exit can be observed, and the
// version records as they stand in the built status tool.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "r64/r64.h"

namespace {

// Exact framing, the child's own process id, exit status 1, for both entries and
// for an empty tag; the child's standard error is a pipe read here.
TEST(Panic, PrintsTheFramedTagAndExitsWithStatusOne) {
    for (auto *panic : {er_panic, er_panic_x})
        for (const std::string tag : {"_cr_write(2)", ""}) {
            int fds[2];
            ASSERT_EQ(pipe(fds), 0);
            std::fflush(nullptr); // nothing buffered here may be written twice
            const pid_t pid = fork();
            if (pid == 0) {
                dup2(fds[1], STDERR_FILENO);
                panic(tag.c_str());
            }
            close(fds[1]);
            std::string err;
            char buf[256];
            for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;)
                err.append(buf, static_cast<std::size_t>(n));
            close(fds[0]);
            int status = 0;
            ASSERT_EQ(waitpid(pid, &status, 0), pid);
            EXPECT_EQ(err,
                      "\n************\n" + tag + " (" + std::to_string(pid) + ")\n************\n");
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
        }
    EXPECT_EQ(get_tid_ptr, nullptr);
}

// Both records hold the field values of their table and are linked into the tool
// although nothing refers to them, each text intact; they are not chained.
TEST(Panic, VersionRecordsStandInTheStatusTool) {
    std::ifstream in(R64_BUILD_DIR "/r64info", std::ios::binary);
    ASSERT_TRUE(in.good());
    const std::string image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::pair<const VERSION *, std::vector<std::string>> records[] = {
        {&src_code_version, {"SR.code", "QUIVANTO.Architecture", "QUIVANTO source code "}},
        {&machine_code_version,
         {"MA.code", "posix.MacOSX.Interface", "machine (posix.MacOSX) dependent library "}}};
    for (const auto &[v, want] : records) {
        EXPECT_EQ((std::vector<std::string>{v->layer, v->name, v->comment}), want);
        for (const std::string text : {v->layer, v->name, v->comment, v->version, v->publisher})
            EXPECT_NE(image.find(text + '\0'), std::string::npos) << text;
        EXPECT_STREQ(v->version, "ver.B.b17.01(BRIMOLA)");
        EXPECT_STREQ(v->publisher, src_code_version.publisher);
        EXPECT_TRUE(v->year == 2008 && v->month == 1 && v->date == 11 && v->next == nullptr);
    }
}

} // namespace

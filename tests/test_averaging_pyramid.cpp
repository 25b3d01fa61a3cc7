// AveragingPyramid: levels made by 2x2 averaging checked against an independent
// averaging and file layout, the block-wise pass against the literal per-pixel pass
// (bytes, printed lines, results, failures), and the exact progress text.
#include <algorithm>
#include <array>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <numeric>
#include <unistd.h>

#include "r64/file/r64_averaging.h"
#include "r64_model.h"
#include "scratch_dir.h"

using namespace r64_test;

namespace {

using Pass = int (*)(R64_FILE *, int);

struct Source {
    char type;
    int w, h, rc_type;
    std::array<unsigned char, 3> bg;
};

struct Outcome {
    std::vector<int> results, errors;
    std::string printed;
    Bytes file;
};

size_t count(const std::string &text, const std::string &line) {
    size_t n = 0;
    for (size_t pos = 0; (pos = text.find(line, pos)) != std::string::npos; pos += line.size()) {
        ++n;
    }
    return n;
}

class AveragingPyramid : public testing::Test {
  protected:
    void SetUp() override {
        check_endian();
        r64_init();
    }
    void TearDown() override { ent_len = R64_CACHE_ENTRIES; }

    static R64_FILE *open_rw(const std::string &path, const Source &s) {
        R64_FILE *f = r64_open_file(path.c_str(), O_RDWR | O_CREAT, 0644, s.type, s.w, s.h);
        EXPECT_NE(f, nullptr);
        r64_ctl(f, R64_CTL_RC_TYPE, s.rc_type);
        r64_ctl(f, R64_CTL_BACKGROUND, s.bg.data());
        return f;
    }
    // A new file whose level 0 holds the pattern, written and flushed.
    static void make_source(const std::string &path, const Source &s) {
        unlink(path.c_str());
        R64_FILE *f = open_rw(path, s);
        EXPECT_TRUE(store_level(f, 0, patterned_level(s.type, s.w, s.h, 11)));
        EXPECT_EQ(r64_close_file(f), 0);
    }
    // Runs pass for each level (every level when none are given), flushing after each,
    // with the descriptor swapped for the file opened with the flags `swap` if given.
    static Outcome reduce(const std::string &path, const Source &s, Pass pass,
                          std::vector<int> levels = {}, int swap = -1) {
        if (levels.empty()) {
            levels.resize(model_level_sizes(s.w, s.h).size());
            std::iota(levels.begin(), levels.end(), 0);
        }
        Outcome out;
        R64_FILE *f = open_rw(path, s);
        out.printed = stdout_of([&] {
            const auto swapped = swap < 0 ? nullptr : std::make_unique<SwappedFd>(f, path, swap);
            for (int level : levels) {
                out.results.push_back(pass(f, level));
                out.errors.push_back(r64_error);
                r64_flush(f);
            }
        });
        r64_close_file(f);
        out.file = read_bytes(path);
        return out;
    }
    // Both passes from copies of one prepared file: everything observable must agree.
    Outcome same_both_ways(const Source &s, std::vector<int> levels = {}, int swap = -1,
                           const std::function<void(const std::string &)> &damage = {}) {
        SCOPED_TRACE(testing::Message() << s.type << " " << s.w << "x" << s.h << " rc " << s.rc_type
                                        << " bg " << int(s.bg[0]));
        const std::string a = dir.file("fast.r64"), b = dir.file("literal.r64");
        make_source(a, s);
        if (damage) {
            damage(a);
        }
        write_bytes(b, read_bytes(a));
        const Outcome fast = reduce(a, s, r64_new_level, levels, swap);
        const Outcome literal = reduce(b, s, r64::new_level_lofi_literal, levels, swap);
        EXPECT_EQ(fast.results, literal.results);
        EXPECT_EQ(fast.errors, literal.errors);
        EXPECT_EQ(fast.printed, literal.printed);
        EXPECT_TRUE(fast.file == literal.file);
        return fast;
    }

    ScratchDir dir;
};

// Catches wrong means, rounding, edge samples (clamped or background), the 'B' threshold
// and misplaced pixels, and any difference of the block-wise pass from the literal one:
// whole pyramids built the documented way (write level 0, flush, reduce, flush, ...)
// both ways equal an independent averaging laid out anew, and r64info reports every
// level, 'B' included. 'B' backgrounds 1 and 2 sit on either side of the threshold.
TEST_F(AveragingPyramid, BothPassesEqualAnIndependentAveraging) {
    std::vector<Source> cases = {{'P', 1000, 999, 1, {0, 0, 0}},
                                 {'B', 1020, 7, 1, {0, 0, 0}},
                                 {'G', 333, 77, 0, {250, 0, 0}}};
    const Source settings[] = {
        {'G', 0, 0, 1, {0, 0, 0}},    {'G', 0, 0, 0, {201, 0, 0}}, {'P', 0, 0, 1, {0, 0, 0}},
        {'P', 0, 0, 0, {9, 250, 77}}, {'B', 0, 0, 1, {0, 0, 0}},   {'B', 0, 0, 0, {1, 0, 0}},
        {'B', 0, 0, 0, {2, 0, 0}},
    };
    for (const auto &[w, h] : {std::pair{257, 131}, std::pair{3, 3}}) {
        for (Source s : settings) {
            s.w = w;
            s.h = h;
            cases.push_back(s);
        }
    }
    for (const Source &s : cases) {
        const Outcome out = same_both_ways(s);
        std::vector<ModelLevel> levels{patterned_level(s.type, s.w, s.h, 11)};
        while (levels.size() < out.results.size()) {
            levels.push_back(model_average(levels.back(), s.type, s.rc_type == 1, s.bg.data()));
        }
        EXPECT_EQ(out.results, std::vector<int>(levels.size(), 0));
        EXPECT_TRUE(out.file == model_file(s.type, s.w, s.h, levels, s.bg.data()));
        const std::string path = dir.file("fast.r64");
        FILE *p = popen((std::string(R64_BUILD_DIR) + "/r64info " + path).c_str(), "r");
        char line[256] = "";
        EXPECT_NE(fgets(line, sizeof line, p), nullptr);
        EXPECT_EQ(pclose(p), 0);
        EXPECT_EQ(line, std::string(1, s.type) + " " + std::to_string(s.w) + "dot " +
                            std::to_string(s.h) + "dot " + std::to_string(levels.size()) + "\n");
    }
    // With two or three tile entries the cache thrashes: a fast pass that keeps using a
    // source tile whose entry the destination took differs.
    for (int entries : {2, 3}) {
        ent_len = entries;
        same_both_ways(Source{'P', 200, 150, 1, {0, 0, 0}});
        same_both_ways(Source{'B', 130, 99, 0, {3, 0, 0}});
    }
}

// Catches a fast pass that handles unreadable tiles differently from the literal one, and
// a pass that reports success after a failed read or store (it completes, then fails).
TEST_F(AveragingPyramid, FailuresBehaveTheSameBothWays) {
    const std::string err = "writeout err -1:-1\n";
    // Every source read fails; each sample prints its line and the level holds zeros.
    Outcome out = same_both_ways(Source{'G', 130, 70, 1, {5, 0, 0}}, {0}, O_WRONLY);
    EXPECT_EQ(out.errors, std::vector<int>{-1});
    EXPECT_EQ(count(out.printed, err), 4u * 65 * 35);
    ASSERT_EQ(out.file.size(), 9108u + 65 * 35);
    EXPECT_TRUE(std::all_of(out.file.begin() + 9108, out.file.end(), [](int b) { return !b; }));

    // The first destination tile is cut short in the file: its stores fail silently.
    const Source colour{'P', 300, 200, 1, {0, 0, 0}};
    out = same_both_ways(colour, {0}, {}, [&](const std::string &path) {
        R64_FILE *f = open_rw(path, colour);
        store_level(f, 1, patterned_level('P', 150, 100, 3));
        r64_close_file(f);
        ASSERT_EQ(truncate(path.c_str(), 8 + 300 * 200 * 3 + 10), 0);
    });
    EXPECT_EQ(out.errors, std::vector<int>{-1});
    EXPECT_EQ(count(out.printed, "writeout err"), 0u);

    // Three entries and a descriptor that refuses writes: dirty tiles cannot be written
    // back, so later loads fail and reads print their lines.
    ent_len = 3;
    out = same_both_ways(colour, {0}, O_RDONLY);
    EXPECT_EQ(out.results, std::vector<int>{-1});
    EXPECT_GT(count(out.printed, err), 0u);
}

// Catches a wrong progress count: one line per 64x64 block counting down from the area
// divided by 4096 (below zero when sizes are not multiples of 64), then "\n"; a pass that
// runs or prints on a source not (yet) in the file; and a last level that is not treated
// as success or writes anything.
TEST_F(AveragingPyramid, ProgressTextRefusalsAndTheLastLevel) {
    const Source s{'G', 130, 70, 1, {0, 0, 0}};
    const std::string path = dir.file("progress.r64");
    make_source(path, s);
    R64_FILE *f = open_rw(path, s);
    const std::string printed = stdout_of([&] {
        for (int level : {32, -1, 6, 0, 1}) { // level 1 is only in the cache after 0
            EXPECT_EQ(r64_new_level(f, level), level == 0 ? 0 : -1);
            EXPECT_TRUE(level == 0 || r64_error == -9);
        }
    });
    EXPECT_EQ(printed, "total = 2/2  \rtotal = 1/2  \rtotal = 0/2  \rtotal = -1/2  \r"
                       "total = -2/2  \rtotal = -3/2  \r\n");
    r64_close_file(f);
    const Bytes before = reduce(path, s, r64_new_level, {1, 2, 3, 4}).file;
    const Outcome last = reduce(path, s, r64_new_level, {5});
    EXPECT_EQ(last.results, std::vector<int>{0});
    EXPECT_EQ(last.printed, "total = 0/0  \r\n");
    EXPECT_EQ(last.file, before);
}

} // namespace

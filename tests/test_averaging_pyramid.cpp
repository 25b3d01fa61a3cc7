// AveragingPyramid: levels made by 2x2 averaging checked against an independent
// averaging and file layout, the block-wise pass against the literal per-pixel pass
// (bytes, printed lines, results, failures), and the exact progress text.
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <unistd.h>

#include "fake_dispatcher.h"
#include "handle_probe.h"
#include "r64/file/r64_averaging.h"
#include "r64_model.h"
#include "scratch_dir.h"

using namespace r64_test;

namespace {

using Pass = int (*)(R64_FILE *, int);
int fast_pass(R64_FILE *f, int level) {
    return r64_new_level(f, level);
}
int literal_pass(R64_FILE *f, int level) {
    return r64::new_level_lofi_literal(f, level);
}

struct Source {
    char type;
    int w, h;
    int rc_type;
    std::array<unsigned char, 3> bg;
};

std::ostream &operator<<(std::ostream &os, const Source &s) {
    return os << s.type << " " << s.w << "x" << s.h << " rc " << s.rc_type << " bg " << int(s.bg[0])
              << "," << int(s.bg[1]) << "," << int(s.bg[2]);
}

struct Outcome {
    std::vector<int> results;
    std::vector<int> errors;
    std::string printed;
    Bytes file;
};

class AveragingPyramid : public testing::Test {
  protected:
    void SetUp() override {
        check_endian();
        r64_init();
    }
    void TearDown() override { ent_len = R64_CACHE_ENTRIES; }

    static R64_FILE *open_rw(const std::string &path, char type = 'G', int w = 0, int h = 0) {
        return r64_open_file(path.c_str(), O_RDWR | O_CREAT, 0644, type, w, h);
    }
    static void apply_settings(R64_FILE *f, const Source &s) {
        r64_ctl(f, R64_CTL_RC_TYPE, s.rc_type);
        r64_ctl(f, R64_CTL_BACKGROUND, s.bg.data());
    }
    // A new file whose level 0 holds the pattern, written and flushed.
    static ModelLevel make_source(const std::string &path, const Source &s) {
        unlink(path.c_str());
        R64_FILE *f = open_rw(path, s.type, s.w, s.h);
        EXPECT_NE(f, nullptr);
        apply_settings(f, s);
        ModelLevel level0 = patterned_level(s.type, s.w, s.h, 11);
        EXPECT_TRUE(store_level(f, 0, level0));
        EXPECT_EQ(r64_close_file(f), 0);
        return level0;
    }
    // Runs pass for each of the given levels (flushing after each) on a file already
    // made, with the descriptor optionally swapped for one opened with swap_flags.
    static Outcome reduce(const std::string &path, const Source &s, Pass pass,
                          std::vector<int> levels, int swap_flags = -1) {
        Outcome out;
        R64_FILE *f = open_rw(path);
        EXPECT_NE(f, nullptr);
        apply_settings(f, s);
        out.printed = stdout_of([&] {
            std::unique_ptr<SwappedFd> swapped;
            if (swap_flags >= 0) {
                swapped = std::make_unique<SwappedFd>(f, path, swap_flags);
            }
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
    static std::vector<int> all_levels(const Source &s) {
        std::vector<int> levels;
        for (size_t k = 0; k < model_level_sizes(s.w, s.h).size(); ++k) {
            levels.push_back(static_cast<int>(k));
        }
        return levels;
    }
    // Both passes from copies of one prepared file: everything observable must agree.
    void expect_same_both_ways(const Source &s, std::vector<int> levels, int swap_flags = -1,
                               const std::function<void(const std::string &)> &damage = {}) {
        const std::string a = dir.file("fast.r64"), b = dir.file("literal.r64");
        make_source(a, s);
        if (damage) {
            damage(a);
        }
        write_bytes(b, read_bytes(a));
        const Outcome fast = reduce(a, s, fast_pass, levels, swap_flags);
        const Outcome literal = reduce(b, s, literal_pass, levels, swap_flags);
        EXPECT_EQ(fast.results, literal.results);
        EXPECT_EQ(fast.errors, literal.errors);
        EXPECT_EQ(fast.printed, literal.printed);
        EXPECT_TRUE(fast.file == literal.file)
            << "files differ, sizes " << fast.file.size() << " and " << literal.file.size();
        last = fast;
    }
    std::string run_r64info(const std::string &path) {
        const std::string cmd = std::string(R64_BUILD_DIR) + "/r64info " + path;
        FILE *p = popen(cmd.c_str(), "r");
        std::string text;
        char buf[256];
        while (p != nullptr && fgets(buf, sizeof buf, p) != nullptr) {
            text += buf;
        }
        if (p != nullptr) {
            pclose(p);
        }
        return text;
    }

    ScratchDir dir;
    Outcome last;
};

// Catches wrong means, rounding, edge samples (clamped or background), 'B' thresholds
// and misplaced destination pixels: whole pyramids built the documented way (write
// level 0, flush, reduce, flush, ...) equal an independent averaging laid out anew.
TEST_F(AveragingPyramid, WholePyramidsMatchAnIndependentAveraging) {
    const Source cases[] = {
        {'P', 1000, 999, 1, {0, 0, 0}},    {'B', 1020, 7, 1, {0, 0, 0}},
        {'B', 1000, 130, 1, {0, 0, 0}},    {'G', 333, 77, 0, {250, 0, 0}},
        {'P', 301, 157, 0, {1, 128, 255}}, {'B', 203, 77, 0, {1, 0, 0}},
        {'B', 203, 77, 0, {2, 0, 0}},
    };
    for (const Source &s : cases) {
        SCOPED_TRACE(testing::Message() << s);
        const std::string path = dir.file("pyramid.r64");
        std::vector<ModelLevel> levels{make_source(path, s)};
        const auto sizes = model_level_sizes(s.w, s.h);
        while (levels.size() < sizes.size()) {
            levels.push_back(model_average(levels.back(), s.type, s.rc_type == 1, s.bg.data()));
        }
        const Outcome out = reduce(path, s, fast_pass, all_levels(s));
        EXPECT_EQ(out.results, std::vector<int>(sizes.size(), 0));
        EXPECT_TRUE(out.file == model_file(s.type, s.w, s.h, levels, s.bg.data()));
        const std::string report = (testing::Message() << s.type << " " << s.w << "dot " << s.h
                                                       << "dot " << sizes.size() << "\n")
                                       .GetString();
        EXPECT_EQ(run_r64info(path), report);
    }
}

// Catches any difference of the block-wise pass from the literal one on odd sizes, for
// every type, both rc_type values and several backgrounds (incl. 'B' values 1 and 2,
// which sit on either side of the threshold).
TEST_F(AveragingPyramid, FastPassEqualsLiteralPassByteForByte) {
    const std::pair<int, int> sizes[] = {{257, 131}, {67, 195}, {3, 3}};
    const std::vector<Source> settings = {
        {'G', 0, 0, 1, {0, 0, 0}},    {'G', 0, 0, 0, {201, 0, 0}}, {'P', 0, 0, 1, {0, 0, 0}},
        {'P', 0, 0, 0, {9, 250, 77}}, {'B', 0, 0, 1, {0, 0, 0}},   {'B', 0, 0, 0, {1, 0, 0}},
        {'B', 0, 0, 0, {2, 0, 0}},    {'B', 0, 0, 0, {255, 0, 0}},
    };
    for (const auto &[w, h] : sizes) {
        for (Source s : settings) {
            s.w = w;
            s.h = h;
            SCOPED_TRACE(testing::Message() << s);
            expect_same_both_ways(s, all_levels(s));
            EXPECT_EQ(last.results, std::vector<int>(last.results.size(), 0));
        }
    }
}

// Catches a fast pass that keeps using a source tile whose entry the destination took:
// with one or two tile entries the cache thrashes, and both passes must still agree.
TEST_F(AveragingPyramid, TinyCachesGiveTheSameResultBothWays) {
    for (int entries : {2, 3}) {
        for (const Source &s :
             {Source{'P', 200, 150, 1, {0, 0, 0}}, Source{'B', 130, 99, 0, {3, 0, 0}}}) {
            SCOPED_TRACE(testing::Message() << s << " ent_len " << entries);
            ent_len = entries;
            expect_same_both_ways(s, all_levels(s));
        }
    }
}

// Catches a fast pass that handles unreadable tiles differently from the literal one:
// failed reads print their line, failed stores count, the pass completes and fails.
TEST_F(AveragingPyramid, FailuresBehaveTheSameBothWays) {
    // Every source read fails (a descriptor that refuses reads); all samples stay zero.
    const Source grey{'G', 130, 70, 1, {5, 0, 0}};
    expect_same_both_ways(grey, {0}, O_WRONLY);
    EXPECT_EQ(last.results, std::vector<int>{-1});
    EXPECT_EQ(last.errors, std::vector<int>{-1});
    size_t lines = 0;
    for (size_t pos = 0;
         (pos = last.printed.find("writeout err -1:-1\n", pos)) != std::string::npos; ++pos) {
        ++lines;
    }
    EXPECT_EQ(lines, 4u * 65 * 35);
    // Level 1 (65 x 35 from offset 8 + 130 * 70) holds zeros over its background of 5.
    ASSERT_EQ(last.file.size(), 9108u + 65 * 35);
    EXPECT_TRUE(std::all_of(last.file.begin() + 9108, last.file.end(),
                            [](unsigned char b) { return b == 0; }));

    // The first destination tile is cut short in the file: its stores fail silently.
    const Source colour{'P', 300, 200, 1, {0, 0, 0}};
    expect_same_both_ways(colour, {0}, -1, [](const std::string &path) {
        R64_FILE *f = open_rw(path);
        const ModelLevel level1 = patterned_level('P', 150, 100, 3);
        store_level(f, 1, level1);
        const off_t level1_start = 8 + 300 * 200 * 3;
        r64_close_file(f);
        truncate(path.c_str(), level1_start + 10);
    });
    EXPECT_EQ(last.results, std::vector<int>{-1});
    EXPECT_EQ(last.errors, std::vector<int>{-1});
    EXPECT_EQ(last.printed.find("writeout err"), std::string::npos);

    // Two tile entries and a descriptor that refuses writes: dirty destination tiles
    // cannot be written back, so later loads fail and reads print their lines.
    ent_len = 3;
    expect_same_both_ways(colour, {0}, O_RDONLY);
    EXPECT_EQ(last.results, std::vector<int>{-1});
    EXPECT_NE(last.printed.find("writeout err -1:-1\n"), std::string::npos);
}

// Catches a fast pass that tries a tile again where the literal pass would not: when the
// first read of a block fails once (a host serves the descriptor), that first sample is
// lost in both passes and the block's other reads load the tile.
TEST_F(AveragingPyramid, AReadThatFailsOnceCostsTheSameSampleBothWays) {
    const Source s{'G', 130, 70, 1, {0, 0, 0}};
    Outcome outs[2];
    const Pass passes[2] = {fast_pass, literal_pass};
    for (int k = 0; k < 2; ++k) {
        const std::string path = dir.file(k == 0 ? "fast.r64" : "literal.r64");
        make_source(path, s);
        R64_FILE *f = open_rw(path);
        const int real = f->fd;
        f->fd = U_DISPATCH_FD_MIN + 7;
        int reads = 0;
        {
            FakeDispatcher host;
            host.answer = [&](UFR_REQ *req) -> UFR_ERR {
                const UFR_ARGS *a = req->argv;
                switch (req->ufr_code) {
                case UFR_CODE_READ:
                    if (++reads == 1) {
                        return FakeDispatcher::fail(-1, EIO);
                    }
                    return FakeDispatcher::ok(static_cast<int>(
                        read(real, a[1].d_rep_char_ptr.d, a[1].d_rep_char_ptr.len)));
                case UFR_CODE_WRITE:
                    return FakeDispatcher::ok(
                        static_cast<int>(write(real, a[1].d_char_ptr.d, a[1].d_char_ptr.len)));
                case UFR_CODE_LSEEK64:
                    return FakeDispatcher::ok64(lseek(real, a[1].d_int64.d, a[2].d_int.d));
                case UFR_CODE_CLOSE:
                    return FakeDispatcher::ok(close(real));
                default:
                    return FakeDispatcher::fail(-1, EINVAL);
                }
            };
            outs[k].printed = stdout_of([&] {
                outs[k].results.push_back(passes[k](f, 0));
                outs[k].errors.push_back(r64_error);
            });
            r64_close_file(f);
        }
        outs[k].file = read_bytes(path);
    }
    EXPECT_EQ(outs[0].results, std::vector<int>{-1});
    EXPECT_EQ(outs[0].results, outs[1].results);
    EXPECT_EQ(outs[0].errors, outs[1].errors);
    EXPECT_EQ(outs[0].printed, outs[1].printed);
    EXPECT_EQ(outs[0].printed.find("writeout err -1:-1\n"),
              outs[0].printed.rfind("writeout err -1:-1\n"));
    EXPECT_TRUE(outs[0].file == outs[1].file);
}

// Catches a wrong progress count: one line per 64x64 block, counting down from the area
// divided by 4096 (so below zero for sizes that are not multiples of 64), then "\n".
TEST_F(AveragingPyramid, ProgressLinesAreExact) {
    const struct {
        int w, h;
        const char *text;
    } cases[] = {
        {100, 100, "total = 2/2  \rtotal = 1/2  \rtotal = 0/2  \rtotal = -1/2  \r\n"},
        {64, 64, "total = 1/1  \r\n"},
        {130, 70,
         "total = 2/2  \rtotal = 1/2  \rtotal = 0/2  \rtotal = -1/2  \rtotal = -2/2  \r"
         "total = -3/2  \r\n"},
    };
    for (const auto &c : cases) {
        const Source s{'G', c.w, c.h, 1, {0, 0, 0}};
        const std::string path = dir.file("progress.r64");
        make_source(path, s);
        EXPECT_EQ(reduce(path, s, fast_pass, {0}).printed, c.text);
        EXPECT_EQ(reduce(path, s, literal_pass, {0}).printed, c.text);
    }
}

// Catches a pass that runs on a source that is not (yet) in the file, or prints when
// it refuses; and a last level that is not treated as success.
TEST_F(AveragingPyramid, RefusedSourcesPrintNothingAndTheLastLevelSucceeds) {
    const Source s{'G', 64, 64, 1, {0, 0, 0}};
    const std::string path = dir.file("refuse.r64");
    make_source(path, s);
    R64_FILE *f = open_rw(path);
    std::string printed = stdout_of([&] {
        for (int level : {32, -1, 5}) {
            EXPECT_EQ(r64_new_level(f, level), -1);
            EXPECT_EQ(r64_error, -9);
        }
    });
    EXPECT_EQ(printed, "");
    printed = stdout_of([&] {
        EXPECT_EQ(r64_new_level(f, 0), 0);
        EXPECT_EQ(r64_new_level(f, 1), -1); // level 1 is only in the cache so far
        EXPECT_EQ(r64_error, -9);
    });
    EXPECT_EQ(printed, "total = 1/1  \r\n");
    EXPECT_EQ(file_size(path), 4104);
    ASSERT_EQ(r64_flush(f), 0);
    for (int level = 1; level < 4; ++level) {
        stdout_of([&] { EXPECT_EQ(r64_new_level(f, level), 0); });
        ASSERT_EQ(r64_flush(f), 0);
    }
    const Bytes before = read_bytes(path);
    printed = stdout_of([&] { EXPECT_EQ(r64_new_level(f, 4), 0); });
    EXPECT_EQ(printed, "total = 0/0  \r\n");
    r64_close_file(f);
    EXPECT_EQ(read_bytes(path), before);
    EXPECT_EQ(run_r64info(path), "G 64dot 64dot 5\n");
}

} // namespace

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
#include <memory>
#include <numeric>
#include <unistd.h>

#include "fake_dispatcher.h"
#include "r64/file/r64_averaging.h"
#include "r64_model.h"
#include "scratch_dir.h"

using namespace r64_test;

namespace {

using Pass = int (*)(R64_FILE *, int);
int literal_pass(R64_FILE *f, int level) {
    return r64::new_level_lofi_literal(f, level);
}
// Installs a fault on an open handle; the fault lasts as long as the returned object.
using Fault = std::function<std::shared_ptr<void>(R64_FILE *, const std::string &)>;

struct Source {
    char type;
    int w, h, rc_type;
    std::array<unsigned char, 3> bg;
};
std::ostream &operator<<(std::ostream &os, const Source &s) {
    return os << s.type << " " << s.w << "x" << s.h << " rc " << s.rc_type << " bg " << int(s.bg[0])
              << "," << int(s.bg[1]) << "," << int(s.bg[2]);
}

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
    static ModelLevel make_source(const std::string &path, const Source &s) {
        unlink(path.c_str());
        R64_FILE *f = open_rw(path, s);
        ModelLevel level0 = patterned_level(s.type, s.w, s.h, 11);
        EXPECT_TRUE(store_level(f, 0, level0));
        EXPECT_EQ(r64_close_file(f), 0);
        return level0;
    }
    // Runs pass for each level (flushing after each) on a file already made, under the
    // fault if one is given; every level of the image when levels is empty.
    static Outcome reduce(const std::string &path, const Source &s, Pass pass,
                          std::vector<int> levels = {}, const Fault &fault = {}) {
        if (levels.empty()) {
            levels.resize(model_level_sizes(s.w, s.h).size());
            std::iota(levels.begin(), levels.end(), 0);
        }
        Outcome out;
        R64_FILE *f = open_rw(path, s);
        out.printed = stdout_of([&] {
            const std::shared_ptr<void> active = fault ? fault(f, path) : nullptr;
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
    Outcome same_both_ways(const Source &s, std::vector<int> levels = {}, const Fault &fault = {},
                           const std::function<void(const std::string &)> &damage = {}) {
        const std::string a = dir.file("fast.r64"), b = dir.file("literal.r64");
        make_source(a, s);
        if (damage) {
            damage(a);
        }
        write_bytes(b, read_bytes(a));
        const Outcome fast = reduce(a, s, r64_new_level, levels, fault);
        const Outcome literal = reduce(b, s, literal_pass, levels, fault);
        EXPECT_EQ(fast.results, literal.results);
        EXPECT_EQ(fast.errors, literal.errors);
        EXPECT_EQ(fast.printed, literal.printed);
        EXPECT_TRUE(fast.file == literal.file) << fast.file.size() << " " << literal.file.size();
        return fast;
    }
    static std::string r64info(const std::string &path) {
        FILE *p = popen((std::string(R64_BUILD_DIR) + "/r64info " + path).c_str(), "r");
        std::string text;
        for (char buf[256]; fgets(buf, sizeof buf, p) != nullptr;) {
            text += buf;
        }
        pclose(p);
        return text;
    }

    ScratchDir dir;
};

// Catches wrong means, rounding, edge samples (clamped or background), 'B' thresholds
// and misplaced destination pixels: whole pyramids built the documented way (write
// level 0, flush, reduce, flush, ...) equal an independent averaging laid out anew,
// and r64info reports every level, 'B' included.
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
        const size_t n = model_level_sizes(s.w, s.h).size();
        while (levels.size() < n) {
            levels.push_back(model_average(levels.back(), s.type, s.rc_type == 1, s.bg.data()));
        }
        const Outcome out = reduce(path, s, r64_new_level);
        EXPECT_EQ(out.results, std::vector<int>(n, 0));
        EXPECT_TRUE(out.file == model_file(s.type, s.w, s.h, levels, s.bg.data()));
        EXPECT_EQ(r64info(path), (testing::Message()
                                  << s.type << " " << s.w << "dot " << s.h << "dot " << n << "\n")
                                     .GetString());
    }
}

// Catches any difference of the block-wise pass from the literal one on odd sizes, for
// every type, both rc_type values and several backgrounds ('B' values 1 and 2 sit on
// either side of the threshold); with two or three tile entries the cache thrashes, and
// a fast pass that keeps using a source tile whose entry the destination took differs.
TEST_F(AveragingPyramid, FastPassEqualsLiteralPassByteForByte) {
    const Source settings[] = {
        {'G', 0, 0, 1, {0, 0, 0}},    {'G', 0, 0, 0, {201, 0, 0}}, {'P', 0, 0, 1, {0, 0, 0}},
        {'P', 0, 0, 0, {9, 250, 77}}, {'B', 0, 0, 1, {0, 0, 0}},   {'B', 0, 0, 0, {1, 0, 0}},
        {'B', 0, 0, 0, {2, 0, 0}},    {'B', 0, 0, 0, {255, 0, 0}},
    };
    for (const auto &[w, h] : {std::pair{257, 131}, std::pair{67, 195}, std::pair{3, 3}}) {
        for (Source s : settings) {
            s.w = w;
            s.h = h;
            SCOPED_TRACE(testing::Message() << s);
            const Outcome out = same_both_ways(s);
            EXPECT_EQ(out.results, std::vector<int>(out.results.size(), 0));
        }
    }
    for (int entries : {2, 3}) {
        ent_len = entries;
        same_both_ways(Source{'P', 200, 150, 1, {0, 0, 0}});
        same_both_ways(Source{'B', 130, 99, 0, {3, 0, 0}});
    }
}

// The host behind a dispatched descriptor that fails the first read and serves the rest
// from the real file.
struct FirstReadFails {
    FakeDispatcher host;
    R64_FILE *f = nullptr;
    int real = -1, reads = 0;
    ~FirstReadFails() { f->fd = real; }
};
std::shared_ptr<void> first_read_fails(R64_FILE *f, const std::string &) {
    auto h = std::make_shared<FirstReadFails>();
    h->f = f;
    h->real = f->fd;
    f->fd = U_DISPATCH_FD_MIN + 7;
    h->host.answer = [h = h.get()](UFR_REQ *req) -> UFR_ERR {
        const UFR_ARGS *a = req->argv;
        const int real = h->real;
        switch (req->ufr_code) {
        case UFR_CODE_READ:
            return ++h->reads == 1 ? FakeDispatcher::fail(-1, EIO)
                                   : FakeDispatcher::ok(static_cast<int>(read(
                                         real, a[1].d_rep_char_ptr.d, a[1].d_rep_char_ptr.len)));
        case UFR_CODE_WRITE:
            return FakeDispatcher::ok(
                static_cast<int>(write(real, a[1].d_char_ptr.d, a[1].d_char_ptr.len)));
        case UFR_CODE_LSEEK64:
            return FakeDispatcher::ok64(lseek(real, a[1].d_int64.d, a[2].d_int.d));
        default:
            return FakeDispatcher::fail(-1, EINVAL);
        }
    };
    return h;
}

Fault swapped(int flags) {
    return [flags](R64_FILE *f, const std::string &path) {
        return std::make_shared<SwappedFd>(f, path, flags);
    };
}

// Catches a fast pass that handles unreadable tiles differently from the literal one:
// failed reads print their line, failed stores count, the pass completes and fails.
TEST_F(AveragingPyramid, FailuresBehaveTheSameBothWays) {
    const std::string err = "writeout err -1:-1\n";
    // Every source read fails (a descriptor that refuses reads); all samples stay zero.
    Outcome out = same_both_ways(Source{'G', 130, 70, 1, {5, 0, 0}}, {0}, swapped(O_WRONLY));
    EXPECT_EQ(out.results, std::vector<int>{-1});
    EXPECT_EQ(out.errors, std::vector<int>{-1});
    EXPECT_EQ(count(out.printed, err), 4u * 65 * 35);
    // Level 1 (65 x 35 from offset 8 + 130 * 70) holds zeros over its background of 5.
    ASSERT_EQ(out.file.size(), 9108u + 65 * 35);
    EXPECT_TRUE(std::all_of(out.file.begin() + 9108, out.file.end(), [](int b) { return !b; }));

    // The first read of the first block fails once: that sample is lost both ways and the
    // block's other reads load the tile (no second try where the literal pass has none).
    const Source grey{'G', 130, 70, 1, {0, 0, 0}};
    out = same_both_ways(grey, {0}, first_read_fails);
    EXPECT_EQ(out.results, std::vector<int>{-1});
    EXPECT_EQ(count(out.printed, err), 1u);

    // The first destination tile is cut short in the file: its stores fail silently.
    const Source colour{'P', 300, 200, 1, {0, 0, 0}};
    out = same_both_ways(colour, {0}, {}, [&](const std::string &path) {
        R64_FILE *f = open_rw(path, colour);
        store_level(f, 1, patterned_level('P', 150, 100, 3));
        r64_close_file(f);
        ASSERT_EQ(truncate(path.c_str(), 8 + 300 * 200 * 3 + 10), 0);
    });
    EXPECT_EQ(out.results, std::vector<int>{-1});
    EXPECT_EQ(out.errors, std::vector<int>{-1});
    EXPECT_EQ(count(out.printed, "writeout err"), 0u);

    // Three tile entries and a descriptor that refuses writes: dirty destination tiles
    // cannot be written back, so later loads fail and reads print their lines.
    ent_len = 3;
    out = same_both_ways(colour, {0}, swapped(O_RDONLY));
    EXPECT_EQ(out.results, std::vector<int>{-1});
    EXPECT_GT(count(out.printed, err), 0u);
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
        EXPECT_EQ(reduce(path, s, r64_new_level, {0}).printed, c.text);
        EXPECT_EQ(reduce(path, s, literal_pass, {0}).printed, c.text);
    }
}

// Catches a pass that runs on a source that is not (yet) in the file, or prints when
// it refuses; and a last level that is not treated as success or writes anything.
TEST_F(AveragingPyramid, RefusedSourcesPrintNothingAndTheLastLevelSucceeds) {
    const Source s{'G', 64, 64, 1, {0, 0, 0}};
    const std::string path = dir.file("refuse.r64");
    make_source(path, s);
    R64_FILE *f = open_rw(path, s);
    const std::string refused = stdout_of([&] {
        for (int level : {32, -1, 5}) {
            EXPECT_EQ(r64_new_level(f, level), -1);
            EXPECT_EQ(r64_error, -9);
        }
    });
    EXPECT_EQ(refused, "");
    const std::string printed = stdout_of([&] {
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
    EXPECT_EQ(stdout_of([&] { EXPECT_EQ(r64_new_level(f, 4), 0); }), "total = 0/0  \r\n");
    r64_close_file(f);
    EXPECT_EQ(read_bytes(path), before);
}

} // namespace

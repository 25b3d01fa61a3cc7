// StreamingPyramid: the streaming writer's file against the cache path (level 0 through
// r64_write_block, r64_flush, then each level made and flushed), byte for byte, on the
// direct and the routed path; write failures never reported as success; the refusals
// callers meet; and the progress hook's calls.
#include <algorithm>
#include <array>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <tuple>
#include <unistd.h>
#include <vector>

#include "fake_dispatcher.h"
#include "r64_model.h"
#include "scratch_dir.h"

using namespace r64_test;

namespace {

struct Case {
    char type;
    int w, h, rc_type;
    std::array<unsigned char, 3> bg;
    int filter;
};

std::string name_of(const Case &c) {
    return std::string(1, c.type) + " " + std::to_string(c.w) + "x" + std::to_string(c.h) + " rc " +
           std::to_string(c.rc_type) + " bg " + std::to_string(c.bg[0]) + " filter " +
           std::to_string(c.filter);
}

// Level-0 rows as callers hand them; 'B' rows use several nonzero byte values.
Bytes picture(const Case &c) {
    ModelLevel m = patterned_level(c.type, c.w, c.h, 7);
    if (c.type == 'B') {
        for (size_t i = 0; i < m.px.size(); ++i) {
            m.px[i] = m.px[i] != 0 ? static_cast<unsigned char>(1 + i % 255) : 0;
        }
    }
    return m.px;
}

// Equal files, or where they first differ (a failure does not print megabytes).
testing::AssertionResult same_bytes(const Bytes &got, const Bytes &want) {
    const auto diff = std::mismatch(got.begin(), got.end(), want.begin(), want.end());
    if (diff.first == got.end() && diff.second == want.end()) {
        return testing::AssertionSuccess();
    }
    return testing::AssertionFailure()
           << "sizes " << got.size() << " and " << want.size() << ", first difference at byte "
           << (diff.first - got.begin());
}

void silent(void *, int, long, long) {}

R64_FILE *create(const std::string &path, const Case &c) {
    unlink(path.c_str());
    R64_FILE *f = r64_open_file(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644, c.type, c.w, c.h);
    EXPECT_NE(f, nullptr) << path;
    if (f != nullptr) {
        r64_ctl(f, R64_CTL_RC_TYPE, c.rc_type);
        r64_ctl(f, R64_CTL_BACKGROUND, c.bg.data());
    }
    return f;
}

// The cache path, as callers have built pyramids so far.
Bytes reference_file(const std::string &path, const Case &c, const Bytes &px) {
    R64_FILE *f = create(path, c);
    const size_t row = static_cast<size_t>(c.w) * (c.type == 'P' ? 3 : 1);
    EXPECT_EQ(r64_write_block(f, 0, 0, c.w, c.h, 0, px.data(), row), 0);
    EXPECT_EQ(r64_flush(f), 0);
    for (int level = 0; level + 1 < R64_LEVELS && f->level_ofs[level + 1] != 0; ++level) {
        const int rc =
            c.filter == R64_FILTER_FOURIER ? r64_new_level_hifi(f, level) : r64_new_level(f, level);
        EXPECT_EQ(rc, 0) << level;
        EXPECT_EQ(r64_flush(f), 0);
    }
    EXPECT_EQ(r64_close_file(f), 0);
    return read_bytes(path);
}

// Hands the rows over in uneven runs: one row, then 7, then 64 at a time.
int stream_rows(R64_PYRAMID *p, const Case &c, const Bytes &px) {
    const size_t row = static_cast<size_t>(c.w) * (c.type == 'P' ? 3 : 1);
    for (int y = 0, step = 1; y < c.h; y += step, step = step == 1 ? 7 : 64) {
        const int n = std::min(step, c.h - y);
        if (r64_write_rows(p, px.data() + y * row, row, n) != 0) {
            return -1;
        }
    }
    return 0;
}

Bytes streamed_file(const std::string &path, const Case &c, const Bytes &px) {
    R64_FILE *f = create(path, c);
    R64_PYRAMID *p = r64_begin_pyramid(f, c.filter);
    EXPECT_NE(p, nullptr);
    EXPECT_EQ(stream_rows(p, c, px), 0);
    EXPECT_EQ(r64_end_pyramid(p), 0);
    EXPECT_EQ(r64_close_file(f), 0);
    return read_bytes(path);
}

// An in-memory file served through the dispatcher, so that the routed path can be
// compared byte for byte; write number fail_at (counted from 0) fails when set.
struct RoutedFile {
    FakeDispatcher fake;
    Bytes data;
    int64_t pos = 0;
    int writes = 0;
    int fail_at = -1;

    RoutedFile() {
        fake.own_uid = u_geteuid() + 1;
        fake.answer = [this](UFR_REQ *req) {
            switch (req->ufr_code) {
            case UFR_CODE_OPEN64:
                return FakeDispatcher::ok(70001);
            case UFR_CODE_READ: {
                const auto &a = req->argv[1].d_rep_char_ptr;
                const int64_t n = std::max<int64_t>(
                    0, std::min<int64_t>(a.len, static_cast<int64_t>(data.size()) - pos));
                if (n > 0) {
                    std::memcpy(a.d, data.data() + pos, static_cast<size_t>(n));
                    pos += n;
                }
                return FakeDispatcher::ok(static_cast<int>(n));
            }
            case UFR_CODE_WRITE: {
                if (writes++ == fail_at) {
                    return FakeDispatcher::fail(-1, ENOSPC);
                }
                const auto &a = req->argv[1].d_char_ptr;
                if (data.size() < static_cast<size_t>(pos + a.len)) {
                    data.resize(static_cast<size_t>(pos + a.len));
                }
                std::memcpy(data.data() + pos, a.d, static_cast<size_t>(a.len));
                pos += a.len;
                return FakeDispatcher::ok(a.len);
            }
            case UFR_CODE_LSEEK64: {
                const int64_t ofs = req->argv[1].d_int64.d;
                const int where = req->argv[2].d_int.d;
                pos = where == SEEK_SET
                          ? ofs
                          : (where == SEEK_END ? static_cast<int64_t>(data.size()) : pos) +
                                (where == SEEK_SET ? 0 : ofs);
                return FakeDispatcher::ok64(pos);
            }
            default:
                return FakeDispatcher::ok(0);
            }
        };
    }
};

class StreamingPyramid : public testing::Test {
  protected:
    void SetUp() override {
        check_endian();
        r64_init();
        r64_set_progress(silent, nullptr);
    }
    void TearDown() override { r64_set_progress(nullptr, nullptr); }
    ScratchDir dir;
};

// Faults caught: any byte of a tile, a 'B' padding bit, a spare byte between bands, a
// gap between levels or a level's edge rows and columns differing from the cache path,
// for every type, both filters, both edge rules and a non-default background.
TEST_F(StreamingPyramid, SameBytesAsTheCachePath) {
    const std::vector<std::pair<int, int>> sizes = {{3, 3}, {65, 130}, {1020, 7}, {1000, 999}};
    std::vector<Case> cases;
    for (const char type : {'G', 'P', 'B'}) {
        for (const auto &[w, h] : sizes) {
            if (w == 1000 && type != 'P') {
                continue; // one large picture is enough; 'B' has its own below
            }
            for (const int filter : {R64_FILTER_AVERAGE, R64_FILTER_FOURIER}) {
                cases.push_back({type, w, h, 1, {0, 0, 0}, filter});
                cases.push_back({type, w, h, 0, {200, 17, 90}, filter});
            }
        }
    }
    // 'B' levels 128 and 8 wide in an image whose width is no multiple of 8: rows with a
    // spare byte that holds no pixel.
    for (const int filter : {R64_FILTER_AVERAGE, R64_FILTER_FOURIER}) {
        cases.push_back({'B', 1020, 300, 0, {0x5A, 0, 0}, filter});
        cases.push_back({'B', 1020, 300, 1, {0, 0, 0}, filter});
    }
    for (const Case &c : cases) {
        const Bytes px = picture(c);
        const Bytes want = reference_file(dir.file("ref.r64"), c, px);
        EXPECT_TRUE(same_bytes(streamed_file(dir.file("new.r64"), c, px), want)) << name_of(c);
    }
}

// Faults caught: the routed path (seek + write through the host) writing other bytes
// than the direct path, or a failed write of any band or gap fill reported as success.
TEST_F(StreamingPyramid, RoutedWritesAndFailures) {
    const Case c{'B', 300, 200, 0, {0xC3, 0, 0}, R64_FILTER_FOURIER};
    const Bytes px = picture(c);
    const Bytes want = reference_file(dir.file("ref.r64"), c, px);
    int total_writes = 0;
    {
        RoutedFile routed;
        R64_FILE *f = create(dir.file("routed.r64"), c);
        ASSERT_NE(f, nullptr);
        ASSERT_GE(f->fd, U_DISPATCH_FD_MIN);
        R64_PYRAMID *p = r64_begin_pyramid(f, c.filter);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(stream_rows(p, c, px), 0);
        EXPECT_EQ(r64_end_pyramid(p), 0);
        EXPECT_EQ(r64_close_file(f), 0);
        EXPECT_TRUE(same_bytes(routed.data, want));
        total_writes = routed.writes;
    }
    for (int n = 1; n < total_writes; ++n) { // write 0 is the header
        RoutedFile routed;
        routed.fail_at = n;
        R64_FILE *f = create(dir.file("routed.r64"), c);
        R64_PYRAMID *p = r64_begin_pyramid(f, c.filter);
        ASSERT_NE(p, nullptr);
        const int streamed = stream_rows(p, c, px);
        EXPECT_EQ(streamed, -1) << n;
        EXPECT_EQ(r64_error, R64_ERR_IO) << n;
        // The failure sticks: no later call and not the end reports success.
        EXPECT_EQ(r64_write_rows(p, px.data(), 300, 1), -1);
        EXPECT_EQ(r64_end_pyramid(p), -1) << n;
        EXPECT_EQ(r64_error, R64_ERR_IO);
        r64_close_file(f);
    }
}

// Faults caught: a failing pwrite on a file the library opened itself reported as
// success.
TEST_F(StreamingPyramid, DirectWriteFailure) {
    const Case c{'P', 200, 150, 1, {0, 0, 0}, R64_FILTER_AVERAGE};
    const Bytes px = picture(c);
    const std::string path = dir.file("direct.r64");
    R64_FILE *f = create(path, c);
    R64_PYRAMID *p = r64_begin_pyramid(f, c.filter);
    ASSERT_NE(p, nullptr);
    {
        SwappedFd read_only(f, path, O_RDONLY);
        EXPECT_EQ(r64_write_rows(p, px.data(), 600, 64), -1);
        EXPECT_EQ(r64_error, R64_ERR_IO);
    }
    EXPECT_EQ(r64_write_rows(p, px.data() + 64 * 600, 600, 86), -1);
    EXPECT_EQ(r64_end_pyramid(p), -1);
    EXPECT_EQ(r64_error, R64_ERR_IO);
    r64_close_file(f);
}

// Faults caught: rows past the bottom taken, a pyramid with rows missing reported as
// complete, and a writer started on a handle whose cache or file already holds tiles
// (a cached tile would later be written over the pyramid).
TEST_F(StreamingPyramid, Refusals) {
    const Case c{'G', 100, 70, 1, {0, 0, 0}, R64_FILTER_AVERAGE};
    const Bytes px = picture(c);
    const std::string path = dir.file("refused.r64");
    R64_FILE *f = create(path, c);
    EXPECT_EQ(r64_begin_pyramid(f, 2), nullptr);
    EXPECT_EQ(r64_error, R64_ERR_CTL);
    R64_PYRAMID *p = r64_begin_pyramid(f, R64_FILTER_AVERAGE);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(r64_write_rows(p, px.data(), 100, 60), 0);
    EXPECT_EQ(r64_write_rows(p, px.data(), 100, 11), -1);
    EXPECT_EQ(r64_error, R64_ERR_RANGE);
    EXPECT_EQ(r64_write_rows(p, px.data(), 100, -1), -1);
    EXPECT_EQ(r64_write_rows(p, px.data(), 100, 9), 0); // nothing was taken above
    EXPECT_EQ(r64_end_pyramid(p), -1);
    EXPECT_EQ(r64_error, R64_ERR_NO_LEVEL_SOURCE);
    EXPECT_EQ(r64_close_file(f), 0);

    for (const bool cached : {true, false}) {
        f = create(path, c);
        unsigned char pixel = 1;
        if (cached) {
            r64_set(f, 5, 5, 0, &pixel); // in the cache only
        } else {
            r64_set(f, 70, 0, 0, &pixel);
            r64_flush(f); // in the file
        }
        EXPECT_EQ(r64_begin_pyramid(f, R64_FILTER_AVERAGE), nullptr) << cached;
        EXPECT_EQ(r64_error, R64_ERR_CTL);
        r64_close_file(f);
    }
    f = r64_open_file(path.c_str(), O_RDONLY, 0, 0, 0, 0);
    EXPECT_EQ(r64_begin_pyramid(f, R64_FILTER_AVERAGE), nullptr);
    r64_close_file(f);
}

struct Call {
    int kind;
    long done, total;
    bool operator==(const Call &) const = default;
};

void record(void *user, int kind, long done, long total) {
    static_cast<std::vector<Call> *>(user)->push_back({kind, done, total});
}

// Faults caught: a progress function not called (or called with counts that do not
// reach the total), progress still printed when a function is installed, and the
// default not coming back with a null function.
TEST_F(StreamingPyramid, ProgressHook) {
    const Case c{'P', 130, 65, 1, {0, 0, 0}, R64_FILTER_AVERAGE};
    const Bytes px = picture(c);
    std::vector<Call> calls;
    r64_set_progress(record, &calls);
    testing::internal::CaptureStdout();
    R64_FILE *f = create(dir.file("hook.r64"), c);
    ASSERT_EQ(r64_write_block(f, 0, 0, c.w, c.h, 0, px.data(), 390), 0);
    ASSERT_EQ(r64_flush(f), 0);
    EXPECT_EQ(r64_new_level(f, 0), 0);
    ASSERT_EQ(r64_flush(f), 0);
    EXPECT_EQ(r64_new_level_hifi(f, 1), 0);
    r64_close_file(f);
    f = create(dir.file("stream.r64"), c);
    R64_PYRAMID *p = r64_begin_pyramid(f, R64_FILTER_AVERAGE);
    EXPECT_EQ(stream_rows(p, c, px), 0);
    EXPECT_EQ(r64_end_pyramid(p), 0);
    r64_close_file(f);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    // Level 0 is 3 x 2 blocks; level 1 (65 x 33) has bands of windows at -4, 0, ..., 32;
    // the streamed level 0 reports its two bands.
    std::vector<Call> want;
    for (long b = 0; b < 6; ++b) {
        want.push_back({R64_PROGRESS_LEVEL, b, 6});
    }
    want.push_back({R64_PROGRESS_DONE, 6, 6});
    for (long b = 0; b < 10; ++b) {
        want.push_back({R64_PROGRESS_HIFI, b, 10});
    }
    want.push_back({R64_PROGRESS_DONE, 10, 10});
    want.push_back({R64_PROGRESS_ROWS, 64, 65});
    want.push_back({R64_PROGRESS_ROWS, 65, 65});
    want.push_back({R64_PROGRESS_DONE, 65, 65});
    EXPECT_EQ(calls, want);

    // cr writing counts the pixel bytes of the levels it writes tiles for: 3 * (130*65 +
    // 65*33 + 33*17 + 17*9 + 9*5 + 5*3); the 3x2 level has none in a cr file.
    calls.clear();
    testing::internal::CaptureStdout();
    R64_FILE *src = r64_open_file(dir.file("stream.r64").c_str(), O_RDONLY, 0, 0, 0, 0);
    EXPECT_EQ(cr_write_file(dir.file("stream.cr").c_str(), 0644, 64, src), 0);
    r64_close_file(src);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(calls.back(), (Call{R64_PROGRESS_DONE, 34107, 34107}));
    EXPECT_EQ(calls[calls.size() - 2], (Call{R64_PROGRESS_CR, 34107, 34107}));

    r64_set_progress(nullptr, &calls);
    testing::internal::CaptureStdout();
    f = create(dir.file("default.r64"), c);
    p = r64_begin_pyramid(f, R64_FILTER_AVERAGE);
    EXPECT_EQ(stream_rows(p, c, px), 0);
    EXPECT_EQ(r64_end_pyramid(p), 0);
    r64_close_file(f);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "rows = 64/65   \rrows = 65/65   \r\n");
}

} // namespace

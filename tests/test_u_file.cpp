// FileRequestLayer: routing to an installed dispatcher, the request records it is
// handed, u_open's bookkeeping, the write-checksum registry and the direct calls.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "fake_dispatcher.h"
#include "r64/r64.h"
#include "scratch_dir.h"

using r64_test::FakeDispatcher;
using r64_test::ScratchDir;

namespace {

constexpr int kRemote = 65536; // the first descriptor number a dispatcher owns

uint32_t sum_of(int fd) {
    uint32_t sum = 12345;
    get_checksum(fd, &sum, nullptr);
    return sum;
}

// A u_checksum result on the direct path: only level 1 filled, with `sum`.
void expect_direct_checksum(int fd, uint32_t sum) {
    U_CK_BUF buf;
    std::memset(&buf, 0xA5, sizeof buf);
    EXPECT_EQ(u_checksum(fd, &buf), 0);
    EXPECT_EQ(std::tuple(buf.lev_mask, buf.w_checksum[0], buf.w_checksum[1]),
              std::tuple(2, 0u, sum));
    EXPECT_TRUE(buf.u_history[0] == nullptr && buf.u_history[1] == nullptr);
}

// The recorded requests as {code, transaction, then per argument its type and its
// value (types 1 and 2) or length (types 3 and 4)}.
using Shapes = std::vector<std::vector<int64_t>>;
Shapes shapes(const FakeDispatcher &fake) {
    Shapes out;
    for (const auto &r : fake.requests) {
        std::vector<int64_t> v{r.ufr_code, r.transaction};
        for (const auto &a : r.args) {
            v.insert(v.end(), {a.type, a.type >= 3 ? a.len : a.value});
        }
        out.push_back(v);
    }
    return out;
}

} // namespace

// Faults caught: signed bytes summed, sums shared within a bucket or kept after close,
// no wrap-around, -1 hashed to a negative index, a failed write making no record.
TEST(FileRequestLayer, WriteChecksumRegistry) {
    ScratchDir dir;
    const int fd = open(dir.file("a").c_str(), O_RDWR | O_CREAT, 0600);
    const int a = 1000, b = 1103; // both in bucket 73
    ASSERT_EQ(dup2(fd, a), a);
    ASSERT_EQ(dup2(fd, b), b);
    close(fd);
    expect_direct_checksum(a, 0);
    const unsigned char two[] = {0x01, 0xFF};
    const unsigned char four[] = {0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(u_write(a, two, 2), 2);
    EXPECT_EQ(sum_of(a), 256u);
    EXPECT_EQ(u_write(a, four, 4), 4);
    EXPECT_EQ(u_write(b, four, 3), 3);
    expect_direct_checksum(a, 1276);
    EXPECT_EQ(sum_of(b), 765u);
    ASSERT_NE(ck_hash_table[73], nullptr);
    EXPECT_EQ(ck_hash_table[73]->fd, b);
    EXPECT_EQ(search_ck(a), &ck_hash_table[73]->next);
    EXPECT_EQ(u_close(b), 0);
    EXPECT_EQ(search_ck(b), nullptr);
    EXPECT_EQ(sum_of(a), 1276u);
    (*search_ck(a))->w_checksum = 0xFFFFFF00u;
    EXPECT_EQ(u_write(a, two, 2), 2);
    EXPECT_EQ(sum_of(a), 0u);
    EXPECT_EQ(u_close(a), 0);
    EXPECT_EQ(search_ck(a), nullptr);

    set_checksum(-1, two, 1);
    ASSERT_NE(ck_hash_table[62], nullptr);
    EXPECT_EQ(ck_hash_table[62]->fd, -1);
    EXPECT_EQ(free_checksum(-1), 0);
    EXPECT_EQ(free_checksum(-1), -1);

    r64_test::write_bytes(dir.file("ro"), {1, 2, 3});
    const int ro = open(dir.file("ro").c_str(), O_RDONLY);
    ASSERT_GE(ro, 0);
    EXPECT_EQ(u_write(ro, two, 1), -1);
    ASSERT_NE(search_ck(ro), nullptr);
    expect_direct_checksum(ro, 0);
    EXPECT_EQ(u_close(ro), 0);
}

// Faults caught: the word-at-a-time sum dropping a tail byte, mis-summing an
// unaligned start, or overflowing a lane on long runs of 0xFF.
TEST(FileRequestLayer, ChecksumOfLongAndUnalignedRuns) {
    std::vector<unsigned char> bytes(70000);
    uint32_t seed = 12345;
    for (unsigned char &b : bytes) {
        seed = seed * 1103515245u + 12345u;
        b = static_cast<unsigned char>(seed >> 23);
    }
    std::fill(bytes.begin() + 20000, bytes.begin() + 40000, 0xFF);
    const int fd = 77777; // registry only: no descriptor is needed to sum
    for (const auto &[start, len] :
         {std::pair{0, 1}, {1, 7}, {3, 8}, {5, 1029}, {7, 69990}, {19999, 20002}, {0, 70000}}) {
        uint32_t expected = 0;
        for (int i = start; i < start + len; ++i) {
            expected += bytes[static_cast<std::size_t>(i)];
        }
        set_checksum(fd, bytes.data() + start, len);
        EXPECT_EQ(sum_of(fd), expected) << "start " << start << " len " << len;
        EXPECT_EQ(free_checksum(fd), 0);
    }
}

// Faults caught: the 32-bit seek not sign-extending its offset or returning more than
// the low 32 bits; the creation mask trimming m_mkdir's mode; chmod after a failed mkdir.
TEST(FileRequestLayer, DirectSeekAndMkdir) {
    ScratchDir dir;
    const int fd = open(dir.file("s").c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_EQ(u_lseek64(fd, 0x100000005LL, SEEK_SET), 0x100000005LL);
    EXPECT_EQ(u_lseek(fd, -1, SEEK_CUR), 4);
    EXPECT_EQ(u_lseek64(fd, 0, SEEK_CUR), 0x100000004LL);
    EXPECT_EQ(u_close(fd), 0);

    const mode_t old_mask = umask(077);
    const std::string d = dir.file("d");
    struct stat st {};
    EXPECT_EQ(m_mkdir(d.c_str(), 0755), 0);
    EXPECT_EQ(stat(d.c_str(), &st) == 0 ? st.st_mode & 07777 : 0, 0755u);
    ASSERT_EQ(chmod(d.c_str(), 0700), 0);
    EXPECT_EQ(m_mkdir(d.c_str(), 0755), -1);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(stat(d.c_str(), &st) == 0 ? st.st_mode & 07777 : 0, 0700u);
    umask(old_mask);
}

// Faults caught: the 65535/65536 boundary off by one, negative or low descriptors
// routed, wrong records, buffers copied, failures not -1 with errno, host sums out of step.
TEST(FileRequestLayer, RoutedDescriptorCalls) {
    ScratchDir dir;
    FakeDispatcher fake;
    fake.answer = [](UFR_REQ *req) {
        return req->ufr_code == 6 ? FakeDispatcher::ok64(0x123456789LL) : FakeDispatcher::ok(5);
    };
    char buf[10] = "abcdefghi";
    EXPECT_EQ(u_read(65535, buf, 4), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(u_read(-3, buf, 4), -1);
    const int fd = open(dir.file("w").c_str(), O_RDWR | O_CREAT, 0600);
    EXPECT_EQ(u_write(fd, "\1\2\3", 3), 3);
    EXPECT_EQ(sum_of(fd), 6u);
    EXPECT_EQ(u_close(fd), 0);
    EXPECT_TRUE(fake.requests.empty());

    EXPECT_EQ(u_read(kRemote, buf, 9), 5);
    EXPECT_EQ(u_write(kRemote + 1, buf, 9), 5);
    EXPECT_EQ(u_lseek(kRemote + 2, -7, SEEK_END), 5);
    EXPECT_EQ(u_lseek64(kRemote + 3, 0x987654321LL, SEEK_CUR), 0x123456789LL);
    EXPECT_EQ(u_close(kRemote + 4), 5);
    EXPECT_EQ(shapes(fake), (Shapes{{3, 0, 1, kRemote, 4, 9},
                                    {4, 0, 1, kRemote + 1, 3, 9},
                                    {5, 0, 1, kRemote + 2, 1, -7, 1, SEEK_END},
                                    {6, 0, 1, kRemote + 3, 2, 0x987654321LL, 1, SEEK_CUR},
                                    {2, -1, 1, kRemote + 4}}));
    EXPECT_EQ(fake.requests[0].args[1].ptr, buf);
    EXPECT_EQ(fake.requests[1].args[1].ptr, buf);
    EXPECT_EQ(fake.requests[1].args[1].bytes, "abcdefghi");
    // The host's sum takes the count the dispatcher wrote, not the one asked.
    EXPECT_EQ(fake.set_calls, (std::vector<std::pair<int, int>>{{kRemote + 1, 5}}));

    fake.answer = [](UFR_REQ *) { return FakeDispatcher::fail(-2, EACCES); };
    errno = 0;
    EXPECT_EQ(u_read(kRemote, buf, 4), -1);
    EXPECT_EQ(errno, EACCES);
    errno = 0;
    EXPECT_EQ(u_lseek64(kRemote, 1, SEEK_SET), int64_t{-1});
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(u_write(kRemote, buf, 4), -1);
    EXPECT_EQ(fake.set_calls.size(), 1u);
    EXPECT_EQ(u_close(kRemote + 9), -1);
    EXPECT_EQ(fake.free_calls, (std::vector<int>{kRemote + 4, kRemote + 9}));
}

// Faults caught: the checksum request sized for a 32-bit platform, the host's sum not
// placed in level 0, lev_mask bit 0 set when the host has no sum, a failure not -1.
TEST(FileRequestLayer, RoutedChecksum) {
    FakeDispatcher fake;
    fake.answer = [](UFR_REQ *req) {
        *reinterpret_cast<U_CK_BUF *>(req->argv[1].d_rep_char_ptr.d) = {2, {0, 77}, {}};
        return FakeDispatcher::ok(0);
    };
    fake.get_sum = 99;
    U_CK_BUF buf{};
    EXPECT_EQ(u_checksum(kRemote, &buf), 0);
    const int64_t size = sizeof(U_CK_BUF);
    EXPECT_EQ(shapes(fake), (Shapes{{10, 0, 1, kRemote, 4, size}}));
    EXPECT_EQ(fake.requests[0].args[1].ptr, reinterpret_cast<char *>(&buf));
    EXPECT_EQ(std::tuple(buf.lev_mask, buf.w_checksum[0], buf.w_checksum[1]),
              std::tuple(3, 99u, 77u));

    fake.get_result = -1;
    EXPECT_EQ(u_checksum(kRemote, &buf), 0);
    EXPECT_EQ(buf.lev_mask, 2);
    fake.answer = [](UFR_REQ *) { return FakeDispatcher::fail(-1, EIO); };
    EXPECT_EQ(u_checksum(kRemote, &buf), -1);
    EXPECT_EQ(errno, EIO);
}

// Faults caught: read-only opens asking check_own, a wrong branch or error code noted, a
// failed routed open falling back to open(); u_open64 keeping that bookkeeping.
TEST(FileRequestLayer, OpenRoutingAndBookkeeping) {
    ScratchDir dir;
    const std::string f = dir.file("f"), missing = dir.file("missing");
    r64_test::write_bytes(f, {1, 2});
    FakeDispatcher fake;
    fake.own_err = 42;
    fake.answer = [&](UFR_REQ *req) {
        return req->argv[0].d_char_ptr.d == missing ? FakeDispatcher::fail(-6, EPERM)
                                                    : FakeDispatcher::ok(kRemote + 7);
    };
    const int me = u_geteuid(), other = me + 1;
    struct Case {
        const std::string &path;
        int flags, own_result, own_uid, result, point, main_code, sub_code, err;
    } cases[] = {
        {f, O_RDONLY, 0, other, 0, 5, 0, 0, 0}, // never asks check_own
        {missing, O_RDWR, -1, other, -1, 1, 0, 0, ENOENT},
        {f, O_WRONLY, -2, other, 0, 10, 42, -1, 0}, // the direct open then succeeds
        {f, O_RDWR, 0, me, 0, 2, 0, 0, 0},
        {f, O_RDWR | O_CREAT, 0, other, kRemote + 7, 3, 0, 0, 0},
        {missing, O_RDWR | O_CREAT, 0, other, -1, 4, EPERM, -6, EPERM},
    };
    for (const Case &c : cases) {
        fake.own_result = c.own_result;
        fake.own_uid = c.own_uid;
        open_err_main_code = open_err_sub_code = ufr_errno = 0;
        errno = 0;
        const int fd = u_open(c.path.c_str(), c.flags, 0640);
        EXPECT_EQ(fd >= 0 && fd < kRemote ? 0 : fd, c.result) << c.point; // 0: a kernel fd
        EXPECT_EQ(std::tuple(u_open_point, open_err_main_code, open_err_sub_code, errno),
                  std::tuple(c.point, c.main_code, c.sub_code, c.err));
        EXPECT_EQ(ufr_errno, c.point == 3 || c.point == 4 ? 0 : c.err) << c.point;
        if (fd >= 0 && fd < kRemote) {
            close(fd);
        }
    }
    EXPECT_EQ(fake.own_calls, 5);
    EXPECT_EQ(r64_test::file_size(missing), -1);
    const int64_t path_len = static_cast<int64_t>(f.size()) + 1;
    const int64_t missing_len = static_cast<int64_t>(missing.size()) + 1;
    EXPECT_EQ(shapes(fake), (Shapes{{0, 1, 3, path_len, 1, O_RDWR | O_CREAT, 1, 0640},
                                    {0, 1, 3, missing_len, 1, O_RDWR | O_CREAT, 1, 0640}}));
    EXPECT_EQ(fake.requests[0].uid, other);
    EXPECT_EQ(fake.requests[0].args[0].ptr, f.c_str());

    u_open_point = 77;
    open_err_main_code = 78;
    ufr_errno = 79;
    fake.requests.clear();
    fake.own_result = -2;
    const int fd = u_open64(f.c_str(), O_RDWR, 0);
    EXPECT_GE(fd, 0);
    close(fd);
    fake.own_result = 0;
    EXPECT_EQ(u_open64(f.c_str(), O_WRONLY, 0600), kRemote + 7);
    EXPECT_EQ(shapes(fake), (Shapes{{1, 1, 3, path_len, 1, O_WRONLY, 1, 0600}}));
    EXPECT_EQ(fake.requests[0].uid, other);
    EXPECT_EQ(std::tuple(u_open_point, open_err_main_code, ufr_errno), std::tuple(77, 78, 79));
}

// Faults caught: path calls routed without asking check_own, routed for our own files,
// or sent with a wrong record (path length, owner id, mode truncated).
TEST(FileRequestLayer, PathCallRouting) {
    ScratchDir dir;
    FakeDispatcher fake;
    fake.own_uid = u_geteuid() + 1;
    const std::string p = dir.file("x");
    const int64_t len = static_cast<int64_t>(p.size()) + 1;
    EXPECT_EQ(u_unlink(p.c_str()), 0);
    EXPECT_EQ(u_rmdir(p.c_str()), 0);
    EXPECT_EQ(m_mkdir(p.c_str(), 0x12345), 0);
    EXPECT_EQ(shapes(fake), (Shapes{{7, 0, 3, len}, {8, 0, 3, len}, {9, 0, 3, len, 1, 0x12345}}));
    for (const auto &r : fake.requests) {
        EXPECT_EQ(r.uid, u_geteuid() + 1);
        EXPECT_EQ(r.args[0].bytes, p + '\0');
    }
    EXPECT_FALSE(std::filesystem::exists(p));

    // Our own path, or one check_own refuses, goes to the kernel.
    fake.own_uid = u_geteuid();
    EXPECT_EQ(m_mkdir(p.c_str(), 0700), 0);
    fake.own_uid = u_geteuid() + 1;
    fake.own_result = -1;
    EXPECT_EQ(u_rmdir(p.c_str()), 0);
    EXPECT_EQ(fake.requests.size(), 3u);
    EXPECT_FALSE(std::filesystem::exists(p));
}

// FileRequestLayer: routing to an installed dispatcher, the request records it is
// handed, u_open's bookkeeping, the write-checksum registry and the direct calls.
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <numeric>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>
#include <vector>

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
// no wrap-around, -1 hashed to a negative index, a failed write making no record, the
// direct u_checksum filling more than level 1, the fast sum wrong on odd runs; the 32-bit
// seek not sign-extending its offset or returning more than the low 32 bits.
TEST(FileRequestLayer, WriteChecksumRegistry) {
    ScratchDir dir;
    const int fd = open(dir.file("a").c_str(), O_RDWR | O_CREAT, 0600);
    const int a = 1000, b = 1103; // both in bucket 73
    ASSERT_TRUE(dup2(fd, a) == a && dup2(fd, b) == b);
    close(fd);
    const unsigned char two[] = {0x01, 0xFF}, four[] = {0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(u_write(a, two, 2) + u_write(a, four, 4) + u_write(b, four, 3), 9);
    EXPECT_TRUE(u_close(b) == 0 && search_ck(b) == nullptr);
    U_CK_BUF buf;
    std::memset(&buf, 0xA5, sizeof buf);
    EXPECT_EQ(u_checksum(a, &buf), 0);
    EXPECT_EQ(std::tuple(buf.lev_mask, buf.w_checksum[0], buf.w_checksum[1], buf.u_history[1]),
              std::tuple(2, 0u, 1276u, nullptr));
    (*search_ck(a))->w_checksum = 0xFFFFFF00u;
    EXPECT_EQ(u_write(a, two, 2), 2);
    EXPECT_EQ(sum_of(a), 0u);
    ASSERT_EQ(u_lseek64(a, 0x100000005LL, SEEK_SET), 0x100000005LL);
    EXPECT_EQ(u_lseek(a, -1, SEEK_CUR), 4); // the low 32 bits, the offset sign-extended
    EXPECT_EQ(u_lseek64(a, 0, SEEK_CUR), 0x100000004LL);
    EXPECT_EQ(u_close(a), 0);
    EXPECT_EQ(u_write(a, two, 1), -1); // a is closed now
    EXPECT_EQ(sum_of(a), 0u);
    EXPECT_EQ(free_checksum(a), 0);

    set_checksum(-1, two, 1);
    EXPECT_TRUE(ck_hash_table[62] != nullptr && ck_hash_table[62]->fd == -1);
    EXPECT_EQ((std::vector<int>{free_checksum(-1), free_checksum(-1)}), (std::vector<int>{0, -1}));

    // The word-at-a-time sum against a plain one: tail bytes, unaligned starts, and long
    // runs of 0xFF that would overflow a lane.
    std::vector<unsigned char> bytes(70000);
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] =
            i >= 20000 && i < 40000 ? 0xFF : static_cast<unsigned char>(i * 2654435761u >> 23);
    }
    for (const auto &[start, len] : {std::pair{1, 7}, {5, 1029}, {19999, 20002}, {7, 69990}}) {
        set_checksum(a, bytes.data() + start, len);
        EXPECT_EQ(sum_of(a),
                  std::accumulate(bytes.begin() + start, bytes.begin() + start + len, 0u))
            << "start " << start << " len " << len;
        EXPECT_EQ(free_checksum(a), 0);
    }
}

// Faults caught: the 65535/65536 boundary off by one, negative descriptors routed, wrong
// records, buffers copied, failures not -1 with errno, host sums out of step; the
// checksum request sized for a 32-bit platform, the host's sum not placed in level 0,
// lev_mask bit 0 set when the host has no sum.
TEST(FileRequestLayer, RoutedDescriptorCalls) {
    FakeDispatcher fake;
    fake.answer = [](UFR_REQ *req) {
        return req->ufr_code == 6 ? FakeDispatcher::ok64(0x123456789LL) : FakeDispatcher::ok(5);
    };
    char buf[10] = "abcdefghi";
    EXPECT_EQ(u_read(65535, buf, 4) + u_read(-3, buf, 4), -2);
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
    EXPECT_TRUE(fake.requests[0].args[1].ptr == buf && fake.requests[1].args[1].bytes == buf);
    // The host's sum takes the count the dispatcher wrote, not the one asked.
    EXPECT_EQ(fake.set_calls, (std::vector<std::pair<int, int>>{{kRemote + 1, 5}}));

    fake.answer = [](UFR_REQ *) { return FakeDispatcher::fail(-2, EACCES); };
    EXPECT_TRUE(u_read(kRemote, buf, 4) == -1 && errno == EACCES);
    EXPECT_EQ(u_close(kRemote + 9), -1);
    EXPECT_EQ(fake.free_calls, (std::vector<int>{kRemote + 4, kRemote + 9}));

    fake.requests.clear();
    fake.answer = [](UFR_REQ *req) {
        *reinterpret_cast<U_CK_BUF *>(req->argv[1].d_rep_char_ptr.d) = {2, {0, 77}, {}};
        return FakeDispatcher::ok(0);
    };
    fake.get_sum = 99;
    U_CK_BUF ck{};
    EXPECT_EQ(u_checksum(kRemote, &ck), 0);
    EXPECT_EQ(shapes(fake), (Shapes{{10, 0, 1, kRemote, 4, int64_t{sizeof(U_CK_BUF)}}}));
    EXPECT_EQ(std::tuple(ck.lev_mask, ck.w_checksum[0], ck.w_checksum[1]), std::tuple(3, 99u, 77u));
    fake.get_result = -1;
    EXPECT_TRUE(u_checksum(kRemote, &ck) == 0 && ck.lev_mask == 2);
}

// Faults caught: read-only opens asking check_own, a wrong branch or error code noted, a
// failed routed open falling back to open(), u_open64 touching that bookkeeping; path
// calls routed without asking check_own, routed for our own files, or with a wrong record;
// m_mkdir's mode trimmed by the creation mask, chmod after a failed mkdir.
TEST(FileRequestLayer, OpenAndPathRouting) {
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
        open_err_main_code = open_err_sub_code = ufr_errno = errno = 0;
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
    const int64_t len = static_cast<int64_t>(f.size()) + 1;
    EXPECT_EQ(shapes(fake), (Shapes{{0, 1, 3, len, 1, O_RDWR | O_CREAT, 1, 0640},
                                    {0, 1, 3, len + 6, 1, O_RDWR | O_CREAT, 1, 0640}}));
    EXPECT_EQ(fake.requests[0].uid, other);

    u_open_point = 77;
    fake.requests.clear();
    EXPECT_EQ(u_open64(f.c_str(), O_WRONLY, 0600), kRemote + 7);
    EXPECT_EQ(u_open_point, 77);
    // Path calls ask check_own and carry the path, owner id and whole mode.
    fake.answer = nullptr;
    const std::string p = dir.file("x"); // as long as f
    EXPECT_EQ(u_unlink(p.c_str()), 0);
    EXPECT_EQ(u_rmdir(p.c_str()), 0);
    EXPECT_EQ(m_mkdir(p.c_str(), 0x12345), 0);
    EXPECT_EQ(shapes(fake), (Shapes{{1, 1, 3, len, 1, O_WRONLY, 1, 0600},
                                    {7, 0, 3, len},
                                    {8, 0, 3, len},
                                    {9, 0, 3, len, 1, 0x12345}}));
    EXPECT_TRUE(fake.requests[3].uid == other && fake.requests[3].args[0].bytes == p + '\0');
    // Our own path goes to the kernel: the creation mask does not trim m_mkdir's mode, and
    // a failed mkdir does not chmod.
    fake.own_uid = u_geteuid();
    const mode_t old_mask = umask(077);
    const auto mode = [&] { return std::filesystem::status(p).permissions(); };
    EXPECT_EQ(m_mkdir(p.c_str(), 0755), 0);
    EXPECT_EQ(mode(), std::filesystem::perms(0755));
    std::filesystem::permissions(p, std::filesystem::perms(0700));
    EXPECT_TRUE(m_mkdir(p.c_str(), 0755) == -1 && errno == EEXIST);
    EXPECT_EQ(mode(), std::filesystem::perms(0700));
    EXPECT_EQ(fake.requests.size(), 4u);
    umask(old_mask);
}

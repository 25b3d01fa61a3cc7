// FileRequestLayer: routing to an installed dispatcher, the request records it is
// handed, u_open's bookkeeping, the write-checksum registry and the direct calls.
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "fake_dispatcher.h"
#include "r64/r64.h"
#include "scratch_dir.h"

using r64_test::FakeDispatcher;
using r64_test::ScratchDir;

namespace {

// A descriptor on a fresh file, moved to a chosen number so buckets can be aimed at.
int fd_at(const ScratchDir &dir, const char *name, int number) {
    const int fd = open(dir.file(name).c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    if (fd < 0 || dup2(fd, number) != number) {
        return -1;
    }
    close(fd);
    return number;
}

uint32_t sum_of(int fd) {
    uint32_t sum = 12345;
    get_checksum(fd, &sum, nullptr);
    return sum;
}

constexpr int kRemote = 65536; // the first descriptor number a dispatcher owns

} // namespace

// Faults caught: bytes summed as signed chars, sums lost or shared between
// descriptors of one bucket, a record surviving its close, no wrap-around.
TEST(FileRequestLayer, WriteChecksumRegistry) {
    ScratchDir dir;
    const int a = fd_at(dir, "a", 1000);
    const int b = fd_at(dir, "b", 1103); // 1000 and 1103 share bucket 73
    ASSERT_EQ(a, 1000);
    ASSERT_EQ(b, 1103);

    const unsigned char two[] = {0x01, 0xFF};
    const unsigned char four[] = {0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(u_write(a, two, 2), 2);
    EXPECT_EQ(sum_of(a), 256u);
    EXPECT_EQ(u_write(a, four, 4), 4);
    EXPECT_EQ(sum_of(a), 256u + 1020u);

    EXPECT_EQ(u_write(b, four, 3), 3);
    EXPECT_EQ(sum_of(b), 765u);
    // Newest record first in its bucket.
    ASSERT_NE(ck_hash_table, nullptr);
    ASSERT_NE(ck_hash_table[73], nullptr);
    EXPECT_EQ(ck_hash_table[73]->fd, b);
    EXPECT_EQ(ck_hash_table[73]->next->fd, a);
    EXPECT_EQ(search_ck(b), &ck_hash_table[73]);
    EXPECT_EQ(search_ck(a), &ck_hash_table[73]->next);

    EXPECT_EQ(u_close(b), 0);
    EXPECT_EQ(search_ck(b), nullptr);
    EXPECT_EQ(sum_of(a), 1276u);

    // The sum is unsigned 32-bit and wraps.
    (*search_ck(a))->w_checksum = 0xFFFFFF00u;
    EXPECT_EQ(u_write(a, two, 2), 2);
    EXPECT_EQ(sum_of(a), 0u);
    EXPECT_EQ(u_close(a), 0);
    EXPECT_EQ(search_ck(a), nullptr);
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

// Faults caught: -1 hashed as a negative index, a failed write not creating its
// record (or adding to it), free_checksum claiming success without a record.
TEST(FileRequestLayer, RegistryEdgeCases) {
    const unsigned char byte = 7;
    set_checksum(-1, &byte, 1);
    ASSERT_NE(ck_hash_table[62], nullptr);
    EXPECT_EQ(ck_hash_table[62]->fd, -1);
    EXPECT_EQ(free_checksum(-1), 0);
    EXPECT_EQ(free_checksum(-1), -1);

    ScratchDir dir;
    r64_test::write_bytes(dir.file("ro"), {1, 2, 3});
    const int fd = open(dir.file("ro").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(u_write(fd, &byte, 1), -1);
    ASSERT_NE(search_ck(fd), nullptr);
    U_CK_BUF buf;
    std::memset(&buf, 0x5A, sizeof buf);
    EXPECT_EQ(u_checksum(fd, &buf), 0);
    EXPECT_EQ(buf.lev_mask, 2);
    EXPECT_EQ(buf.w_checksum[0], 0u);
    EXPECT_EQ(buf.w_checksum[1], 0u);

    // A record's history answers a fresh block holding 0, which the caller frees.
    uint32_t sum = 1;
    int *history = nullptr;
    EXPECT_EQ(get_checksum(fd, &sum, &history), 0);
    ASSERT_NE(history, nullptr);
    EXPECT_EQ(*history, 0);
    free(history);
    EXPECT_EQ(u_close(fd), 0);
    history = reinterpret_cast<int *>(&sum);
    EXPECT_EQ(get_checksum(fd, &sum, &history), 0);
    EXPECT_EQ(sum, 0u);
    EXPECT_EQ(history, nullptr);
}

// Fault caught: a never-written descriptor reporting garbage or a missing level bit.
TEST(FileRequestLayer, ChecksumOfUnwrittenDescriptor) {
    U_CK_BUF buf;
    std::memset(&buf, 0xA5, sizeof buf);
    EXPECT_EQ(u_checksum(4321, &buf), 0);
    EXPECT_EQ(buf.lev_mask, 2);
    EXPECT_EQ(buf.w_checksum[0], 0u);
    EXPECT_EQ(buf.w_checksum[1], 0u);
    EXPECT_EQ(buf.u_history[0], nullptr);
    EXPECT_EQ(buf.u_history[1], nullptr);
}

// Faults caught: the 32-bit seek not sign-extending its offset, or returning more
// than the low 32 bits of a position beyond 4 GiB.
TEST(FileRequestLayer, ThirtyTwoBitSeek) {
    ScratchDir dir;
    const int fd = open(dir.file("s").c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(u_lseek64(fd, 0x100000005LL, SEEK_SET), 0x100000005LL);
    EXPECT_EQ(u_lseek(fd, -1, SEEK_CUR), 4);
    EXPECT_EQ(u_lseek64(fd, 0, SEEK_CUR), 0x100000004LL);
    EXPECT_EQ(u_close(fd), 0);
}

// Faults caught: the creation mask trimming m_mkdir's mode, chmod after a failed
// mkdir, the cached euid differing from the system's.
TEST(FileRequestLayer, DirectPathCalls) {
    ScratchDir dir;
    const mode_t old_mask = umask(077);
    const std::string d = dir.file("d");
    EXPECT_EQ(m_mkdir(d.c_str(), 0755), 0);
    struct stat st {};
    ASSERT_EQ(stat(d.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    ASSERT_EQ(chmod(d.c_str(), 0700), 0);
    errno = 0;
    EXPECT_EQ(m_mkdir(d.c_str(), 0755), -1);
    EXPECT_EQ(errno, EEXIST);
    ASSERT_EQ(stat(d.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    umask(old_mask);

    EXPECT_EQ(u_rmdir(d.c_str()), 0);
    r64_test::write_bytes(dir.file("f"), {1});
    EXPECT_EQ(u_unlink(dir.file("f").c_str()), 0);
    EXPECT_EQ(u_unlink(dir.file("f").c_str()), -1);
    EXPECT_EQ(u_geteuid(), static_cast<int>(geteuid()));
    EXPECT_EQ(u_geteuid(), static_cast<int>(geteuid()));
    setenv("R64_TEST_VAR", "x1", 1);
    EXPECT_STREQ(u_getenv("R64_TEST_VAR"), "x1");
}

// Faults caught: the boundary at 65535/65536 off by one, negative descriptors
// routed, a low descriptor's write missing the local registry while routing is on.
TEST(FileRequestLayer, DescriptorRoutingBoundary) {
    ScratchDir dir;
    FakeDispatcher fake;
    char buf[4];
    errno = 0;
    EXPECT_EQ(u_read(65535, buf, 4), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(u_read(-3, buf, 4), -1);
    EXPECT_TRUE(fake.requests.empty());

    fake.answer = [](UFR_REQ *) { return FakeDispatcher::ok(4); };
    EXPECT_EQ(u_read(kRemote, buf, 4), 4);
    ASSERT_EQ(fake.requests.size(), 1u);

    const int fd = open(dir.file("w").c_str(), O_RDWR | O_CREAT, 0600);
    const unsigned char three[] = {1, 2, 3};
    EXPECT_EQ(u_write(fd, three, 3), 3);
    EXPECT_EQ(sum_of(fd), 6u);
    EXPECT_EQ(u_close(fd), 0);
    EXPECT_EQ(fake.requests.size(), 1u);
    EXPECT_TRUE(fake.set_calls.empty());
}

// Faults caught: wrong slot codes, transactions, argument types, counts or values
// in the records of the descriptor calls; buffers copied instead of passed.
TEST(FileRequestLayer, DescriptorRequestRecords) {
    FakeDispatcher fake;
    char buf[10] = "abcdefghi";
    fake.answer = [](UFR_REQ *req) {
        return req->ufr_code == UFR_CODE_LSEEK64 ? FakeDispatcher::ok64(0x123456789LL)
                                                 : FakeDispatcher::ok(5);
    };
    EXPECT_EQ(u_read(kRemote, buf, 9), 5);
    EXPECT_EQ(u_write(kRemote + 1, buf, 9), 5);
    EXPECT_EQ(u_lseek(kRemote + 2, -7, SEEK_END), 5);
    EXPECT_EQ(u_lseek64(kRemote + 3, 0x987654321LL, SEEK_CUR), 0x123456789LL);
    EXPECT_EQ(u_close(kRemote + 4), 5);
    ASSERT_EQ(fake.requests.size(), 5u);

    const auto &rd = fake.requests[0];
    EXPECT_EQ(rd.ufr_code, 3);
    EXPECT_EQ(rd.transaction, 0);
    ASSERT_EQ(rd.argc, 2);
    EXPECT_EQ(rd.args[0].type, 1);
    EXPECT_EQ(rd.args[0].value, kRemote);
    EXPECT_EQ(rd.args[1].type, 4);
    EXPECT_EQ(rd.args[1].len, 9);
    EXPECT_EQ(rd.args[1].ptr, buf);

    const auto &wr = fake.requests[1];
    EXPECT_EQ(wr.ufr_code, 4);
    EXPECT_EQ(wr.transaction, 0);
    ASSERT_EQ(wr.argc, 2);
    EXPECT_EQ(wr.args[1].type, 3);
    EXPECT_EQ(wr.args[1].len, 9);
    EXPECT_EQ(wr.args[1].ptr, buf);
    EXPECT_EQ(wr.args[1].bytes, "abcdefghi");

    const auto &sk = fake.requests[2];
    EXPECT_EQ(sk.ufr_code, 5);
    ASSERT_EQ(sk.argc, 3);
    EXPECT_EQ(sk.args[1].type, 1);
    EXPECT_EQ(sk.args[1].value, -7);
    EXPECT_EQ(sk.args[2].value, SEEK_END);

    const auto &sk64 = fake.requests[3];
    EXPECT_EQ(sk64.ufr_code, 6);
    ASSERT_EQ(sk64.argc, 3);
    EXPECT_EQ(sk64.args[1].type, 2);
    EXPECT_EQ(sk64.args[1].value, 0x987654321LL);
    EXPECT_EQ(sk64.args[2].type, 1);

    const auto &cl = fake.requests[4];
    EXPECT_EQ(cl.ufr_code, 2);
    EXPECT_EQ(cl.transaction, -1);
    ASSERT_EQ(cl.argc, 1);
    EXPECT_EQ(cl.args[0].value, kRemote + 4);
}

// Faults caught: a routed failure not reported as -1 with errno, the 64-bit seek
// answering a truncated -1, the host's sums not kept in step with writes and closes.
TEST(FileRequestLayer, RoutedResultsAndChecksumSlots) {
    FakeDispatcher fake;
    fake.answer = [](UFR_REQ *) { return FakeDispatcher::fail(-2, EACCES); };
    char buf[5] = "abcd";
    errno = 0;
    EXPECT_EQ(u_read(kRemote, buf, 4), -1);
    EXPECT_EQ(errno, EACCES);
    errno = 0;
    EXPECT_EQ(u_lseek64(kRemote, 1, SEEK_SET), int64_t{-1});
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(u_write(kRemote, buf, 4), -1);
    EXPECT_TRUE(fake.set_calls.empty());
    fake.log.clear();
    EXPECT_EQ(u_close(kRemote + 9), -1);
    // The host drops its sum after the request, even when the close failed.
    EXPECT_EQ(fake.log, (std::vector<std::string>{"call", "free"}));
    EXPECT_EQ(fake.free_calls, std::vector<int>{kRemote + 9});

    // A successful write reports the count the dispatcher wrote, not the one asked.
    fake.answer = [](UFR_REQ *) { return FakeDispatcher::ok(3); };
    fake.log.clear();
    EXPECT_EQ(u_write(kRemote + 1, buf, 4), 3);
    EXPECT_EQ(fake.log, (std::vector<std::string>{"call", "set"}));
    ASSERT_EQ(fake.set_calls.size(), 1u);
    EXPECT_EQ(fake.set_calls[0], std::make_pair(kRemote + 1, 3));
}

// Faults caught: the checksum request sized for a 32-bit platform, the host's sum
// not placed in level 0, lev_mask bit 0 set when the host has no sum.
TEST(FileRequestLayer, RoutedChecksum) {
    FakeDispatcher fake;
    fake.answer = [](UFR_REQ *req) {
        auto *out = reinterpret_cast<U_CK_BUF *>(req->argv[1].d_rep_char_ptr.d);
        out->lev_mask = 2;
        out->w_checksum[0] = 0;
        out->w_checksum[1] = 77;
        out->u_history[0] = out->u_history[1] = nullptr;
        return FakeDispatcher::ok(0);
    };
    fake.get_sum = 99;
    U_CK_BUF buf{};
    EXPECT_EQ(u_checksum(kRemote, &buf), 0);
    ASSERT_EQ(fake.requests.size(), 1u);
    const auto &r = fake.requests[0];
    EXPECT_EQ(r.ufr_code, 10);
    ASSERT_EQ(r.argc, 2);
    EXPECT_EQ(r.args[0].value, kRemote);
    EXPECT_EQ(r.args[1].type, 4);
    EXPECT_EQ(r.args[1].len, static_cast<int>(sizeof(U_CK_BUF)));
    EXPECT_EQ(r.args[1].ptr, reinterpret_cast<char *>(&buf));
    EXPECT_EQ(buf.lev_mask, 3);
    EXPECT_EQ(buf.w_checksum[0], 99u);
    EXPECT_EQ(buf.w_checksum[1], 77u);

    fake.get_result = -1;
    EXPECT_EQ(u_checksum(kRemote, &buf), 0);
    EXPECT_EQ(buf.lev_mask, 2);

    fake.answer = [](UFR_REQ *) { return FakeDispatcher::fail(-1, EIO); };
    EXPECT_EQ(u_checksum(kRemote, &buf), -1);
    EXPECT_EQ(errno, EIO);
}

// Faults caught: read-only opens consulting check_own, a wrong branch recorded in
// u_open_point or the error codes, a failed routed open falling back to open().
TEST(FileRequestLayer, OpenBookkeeping) {
    ScratchDir dir;
    r64_test::write_bytes(dir.file("f"), {1, 2});
    const std::string f = dir.file("f");
    const std::string missing = dir.file("missing");
    FakeDispatcher fake;
    fake.own_uid = u_geteuid() + 1;

    int fd = u_open(f.c_str(), O_RDONLY, 0);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(u_open_point, 5);
    EXPECT_EQ(fake.own_calls, 0);
    close(fd);

    fake.own_result = -1;
    EXPECT_EQ(u_open(missing.c_str(), O_RDWR, 0), -1);
    EXPECT_EQ(u_open_point, 1);
    EXPECT_EQ(ufr_errno, ENOENT);
    EXPECT_EQ(fake.own_calls, 1);

    fake.own_result = -2;
    fake.own_err = 42;
    fd = u_open(f.c_str(), O_WRONLY, 0);
    EXPECT_GE(fd, 0);
    close(fd);
    EXPECT_EQ(u_open_point, 10);
    EXPECT_EQ(open_err_main_code, 42);
    EXPECT_EQ(open_err_sub_code, -1);

    fake.own_result = 0;
    fake.own_uid = u_geteuid();
    fd = u_open(f.c_str(), O_RDWR, 0);
    EXPECT_GE(fd, 0);
    close(fd);
    EXPECT_EQ(u_open_point, 2);
    EXPECT_TRUE(fake.requests.empty());

    fake.own_uid = u_geteuid() + 1;
    fake.answer = [](UFR_REQ *) { return FakeDispatcher::ok(kRemote + 7); };
    EXPECT_EQ(u_open(f.c_str(), O_RDWR | O_CREAT, 0640), kRemote + 7);
    EXPECT_EQ(u_open_point, 3);
    ASSERT_EQ(fake.requests.size(), 1u);
    const auto &r = fake.requests[0];
    EXPECT_EQ(r.ufr_code, 0);
    EXPECT_EQ(r.transaction, 1);
    EXPECT_EQ(r.uid, u_geteuid() + 1);
    ASSERT_EQ(r.argc, 3);
    EXPECT_EQ(r.args[0].type, 3);
    EXPECT_EQ(r.args[0].len, static_cast<int>(f.size()) + 1);
    EXPECT_EQ(r.args[0].ptr, f.c_str());
    EXPECT_EQ(r.args[1].value, O_RDWR | O_CREAT);
    EXPECT_EQ(r.args[2].value, 0640);

    fake.answer = [](UFR_REQ *) { return FakeDispatcher::fail(-6, EPERM); };
    errno = 0;
    EXPECT_EQ(u_open(missing.c_str(), O_RDWR | O_CREAT, 0640), -1);
    EXPECT_EQ(u_open_point, 4);
    EXPECT_EQ(open_err_sub_code, -6);
    EXPECT_EQ(open_err_main_code, EPERM);
    EXPECT_EQ(errno, EPERM);
    EXPECT_EQ(r64_test::file_size(missing), -1);
}

// Faults caught: u_open64 keeping u_open's bookkeeping, treating -2 specially, or
// sending the wrong code.
TEST(FileRequestLayer, Open64RoutesWithoutBookkeeping) {
    ScratchDir dir;
    r64_test::write_bytes(dir.file("f"), {1});
    const std::string f = dir.file("f");
    FakeDispatcher fake;
    u_open_point = 77;
    open_err_main_code = 78;
    ufr_errno = 79;
    fake.own_uid = u_geteuid() + 1;
    fake.own_result = -2;
    const int fd = u_open64(f.c_str(), O_RDWR, 0);
    EXPECT_GE(fd, 0);
    close(fd);
    EXPECT_TRUE(fake.requests.empty());

    fake.own_result = 0;
    fake.answer = [](UFR_REQ *) { return FakeDispatcher::ok(kRemote); };
    EXPECT_EQ(u_open64(f.c_str(), O_WRONLY, 0600), kRemote);
    ASSERT_EQ(fake.requests.size(), 1u);
    EXPECT_EQ(fake.requests[0].ufr_code, 1);
    EXPECT_EQ(fake.requests[0].transaction, 1);
    EXPECT_EQ(fake.requests[0].uid, u_geteuid() + 1);
    EXPECT_EQ(fake.requests[0].args[1].value, O_WRONLY);
    EXPECT_EQ(u_open_point, 77);
    EXPECT_EQ(open_err_main_code, 78);
    EXPECT_EQ(ufr_errno, 79);
}

// Faults caught: path calls routed without asking check_own, routed for our own
// files, or sent with a wrong record (path length, owner id, mode truncated).
TEST(FileRequestLayer, PathCallRouting) {
    ScratchDir dir;
    FakeDispatcher fake;
    fake.own_uid = u_geteuid() + 1;
    fake.answer = [](UFR_REQ *) { return FakeDispatcher::ok(0); };
    const std::string p = dir.file("x");
    EXPECT_EQ(u_unlink(p.c_str()), 0);
    EXPECT_EQ(u_rmdir(p.c_str()), 0);
    EXPECT_EQ(m_mkdir(p.c_str(), 0x12345), 0);
    ASSERT_EQ(fake.requests.size(), 3u);
    const int codes[] = {7, 8, 9};
    for (int i = 0; i < 3; ++i) {
        const auto &r = fake.requests[static_cast<size_t>(i)];
        EXPECT_EQ(r.ufr_code, codes[i]);
        EXPECT_EQ(r.transaction, 0);
        EXPECT_EQ(r.uid, u_geteuid() + 1);
        EXPECT_EQ(r.args[0].type, 3);
        EXPECT_EQ(r.args[0].len, static_cast<int>(p.size()) + 1);
        EXPECT_EQ(r.args[0].bytes, p + '\0');
    }
    ASSERT_EQ(fake.requests[2].argc, 2);
    EXPECT_EQ(fake.requests[2].args[1].type, 1);
    EXPECT_EQ(fake.requests[2].args[1].value, 0x12345);
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

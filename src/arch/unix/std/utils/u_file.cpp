// The file-request layer: the library's only road to the file system. Each call
// either goes straight to the POSIX call it wraps or, while a host has installed a
// dispatch table in ufr_dispatch, is handed to that table as a request record. It
// also owns the per-descriptor write-checksum registry (103 buckets, newest first).
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include "r64/u_file.h"

namespace {

// Sum of n bytes, modulo 2^32. Every byte written passes through here, so it sums
// eight bytes a step: the even and odd bytes of a word go to four 16-bit lanes,
// which are folded before any lane can overflow (128 steps add at most 65280).
uint32_t byte_sum(const unsigned char *p, std::size_t n) {
    constexpr uint64_t kEvenBytes = 0x00FF00FF00FF00FFull;
    constexpr std::size_t kStepsPerFold = 128;
    uint64_t total = 0;
    while (n >= 8) {
        const std::size_t steps = n / 8 < kStepsPerFold ? n / 8 : kStepsPerFold;
        uint64_t lanes = 0;
        for (std::size_t i = 0; i < steps; ++i) {
            uint64_t word;
            std::memcpy(&word, p + 8 * i, 8);
            lanes += (word & kEvenBytes) + ((word >> 8) & kEvenBytes);
        }
        total +=
            (lanes & 0xFFFF) + ((lanes >> 16) & 0xFFFF) + ((lanes >> 32) & 0xFFFF) + (lanes >> 48);
        p += 8 * steps;
        n -= 8 * steps;
    }
    for (; n > 0; --n) {
        total += *p++;
    }
    return static_cast<uint32_t>(total);
}

// Requests are built in the caller's frame: the record and its arguments live only
// for the duration of the call, and buffers and paths travel by pointer.
template <int N> struct Request {
    UFR_REQ req{};
    UFR_ARGS args[N]{};

    Request(int code, int transaction) {
        req.transaction = transaction;
        req.ufr_code = code;
        req.argc = N;
        req.argv = args;
    }
    void set_int(int i, int v) {
        args[i].d_int.type = 1;
        args[i].d_int.d = v;
    }
    void set_int64(int i, int64_t v) {
        args[i].d_int64.type = 2;
        args[i].d_int64.d = v;
    }
    // The dispatcher only reads these bytes; the record type has no const member.
    void set_out_bytes(int i, const void *data, int len) {
        args[i].d_char_ptr.type = 3;
        args[i].d_char_ptr.len = len;
        args[i].d_char_ptr.d = const_cast<char *>(static_cast<const char *>(data));
    }
    void set_path(int i, const char *path) {
        set_out_bytes(i, path, static_cast<int>(std::strlen(path)) + 1);
    }
    void set_in_bytes(int i, void *data, int len) {
        args[i].d_rep_char_ptr.type = 4;
        args[i].d_rep_char_ptr.len = len;
        args[i].d_rep_char_ptr.d = static_cast<char *>(data);
    }
    UFR_ERR send() { return ufr_dispatch->fns.__ufr_call(&req); }
};

bool routed_fd(int fd) {
    return ufr_dispatch != nullptr && fd >= U_DISPATCH_FD_MIN;
}

// Result of a routed int call: the dispatcher's value, or -1 with errno set.
int int_result(const UFR_ERR &e) {
    if (e.ufr_code < 0) {
        errno = e.r.sys_code;
        return -1;
    }
    return e.r.d_int;
}

// A path call is routed when check_own accepts the path and names another owner.
bool routed_path(const char *path, int *uid) {
    if (ufr_dispatch == nullptr) {
        return false;
    }
    int err = 0;
    if (ufr_dispatch->fns.check_own(&err, uid, path) < 0) {
        return false;
    }
    return *uid != u_geteuid();
}

int routed_path_call(int code, const char *path, int uid) {
    Request<1> r(code, 0);
    r.req.uid = uid;
    r.set_path(0, path);
    return int_result(r.send());
}

unsigned bucket_of(int fd) {
    return static_cast<uint32_t>(fd) % U_CK_HASH_SIZE;
}

} // namespace

extern "C" {

UFR_TBL *ufr_dispatch = nullptr;
U_CHECKSUM_TYPE **ck_hash_table = nullptr;
int open_err_main_code = 0;
int open_err_sub_code = 0;
int u_open_point = 0;
int ufr_errno = 0;
U_FD_DEBUG *fdd_list = nullptr;
int64_t test_offset = 0;

int u_open(const char *filename, int flags, int mode) {
    if (ufr_dispatch == nullptr || (flags & 3) == 0) {
        u_open_point = 5;
    } else {
        int err = 0;
        int uid = 0;
        const int own = ufr_dispatch->fns.check_own(&err, &uid, filename);
        if (own == -2) {
            u_open_point = 10;
            open_err_main_code = err;
            open_err_sub_code = -1;
        } else if (own < 0) {
            u_open_point = 1;
        } else if (uid == u_geteuid()) {
            u_open_point = 2;
        } else {
            Request<3> r(UFR_CODE_OPEN, 1);
            r.req.uid = uid;
            r.set_path(0, filename);
            r.set_int(1, flags);
            r.set_int(2, mode);
            const UFR_ERR e = r.send();
            if (e.ufr_code < 0) {
                u_open_point = 4;
                open_err_sub_code = e.ufr_code;
                open_err_main_code = e.r.sys_code;
                errno = e.r.sys_code;
                return -1;
            }
            u_open_point = 3;
            return e.r.d_int;
        }
    }
    const int fd = open(filename, flags, mode);
    ufr_errno = errno;
    return fd;
}

int u_open64(const char *filename, int flags, int mode) {
    if (ufr_dispatch != nullptr && (flags & 3) != 0) {
        int err = 0;
        int uid = 0;
        if (ufr_dispatch->fns.check_own(&err, &uid, filename) >= 0 && uid != u_geteuid()) {
            Request<3> r(UFR_CODE_OPEN64, 1);
            r.req.uid = uid;
            r.set_path(0, filename);
            r.set_int(1, flags);
            r.set_int(2, mode);
            return int_result(r.send());
        }
    }
    return open(filename, flags, mode);
}

int u_close(int fd) {
    if (routed_fd(fd)) {
        Request<1> r(UFR_CODE_CLOSE, -1);
        r.set_int(0, fd);
        const UFR_ERR e = r.send();
        // The host drops its sum whether or not the close succeeded.
        ufr_dispatch->fns.lk_free_checksum(fd);
        return int_result(e);
    }
    free_checksum(fd);
    return close(fd);
}

int u_read(int fd, void *data, int len) {
    if (routed_fd(fd)) {
        Request<2> r(UFR_CODE_READ, 0);
        r.set_int(0, fd);
        r.set_in_bytes(1, data, len);
        return int_result(r.send());
    }
    return static_cast<int>(read(fd, data, static_cast<size_t>(len)));
}

int u_write(int fd, const void *data, int len) {
    if (routed_fd(fd)) {
        Request<2> r(UFR_CODE_WRITE, 0);
        r.set_int(0, fd);
        r.set_out_bytes(1, data, len);
        const UFR_ERR e = r.send();
        if (e.ufr_code < 0) {
            errno = e.r.sys_code;
            return -1;
        }
        ufr_dispatch->fns.lk_set_checksum(fd, data, e.r.d_int);
        return e.r.d_int;
    }
    const int n = static_cast<int>(write(fd, data, static_cast<size_t>(len)));
    set_checksum(fd, data, n);
    return n;
}

int u_lseek(int fd, int ofs, int where) {
    if (routed_fd(fd)) {
        Request<3> r(UFR_CODE_LSEEK, 0);
        r.set_int(0, fd);
        r.set_int(1, ofs);
        r.set_int(2, where);
        return int_result(r.send());
    }
    const off_t pos = lseek(fd, static_cast<off_t>(ofs), where);
    return static_cast<int>(static_cast<uint32_t>(static_cast<uint64_t>(pos)));
}

int64_t u_lseek64(int fd, int64_t ofs, int where) {
    if (routed_fd(fd)) {
        Request<3> r(UFR_CODE_LSEEK64, 0);
        r.set_int(0, fd);
        r.set_int64(1, ofs);
        r.set_int(2, where);
        const UFR_ERR e = r.send();
        if (e.ufr_code < 0) {
            errno = e.r.sys_code;
            return -1;
        }
        return e.r.d_int64;
    }
    return lseek(fd, static_cast<off_t>(ofs), where);
}

int u_unlink(const char *path) {
    int uid = 0;
    if (routed_path(path, &uid)) {
        return routed_path_call(UFR_CODE_UNLINK, path, uid);
    }
    return unlink(path);
}

int u_rmdir(const char *path) {
    int uid = 0;
    if (routed_path(path, &uid)) {
        return routed_path_call(UFR_CODE_RMDIR, path, uid);
    }
    return rmdir(path);
}

int m_mkdir(const char *path, int mode) {
    int uid = 0;
    if (routed_path(path, &uid)) {
        Request<2> r(UFR_CODE_MKDIR, 0);
        r.req.uid = uid;
        r.set_path(0, path);
        r.set_int(1, mode);
        return int_result(r.send());
    }
    const auto bits = static_cast<mode_t>(mode & 0xFFFF);
    const int made = mkdir(path, bits);
    if (made < 0) {
        return made;
    }
    // The file-creation mask must not take bits away from the requested mode.
    return chmod(path, bits);
}

char *u_getenv(const char *name) {
    return getenv(name);
}

int u_geteuid(void) {
    static int uid;
    static int flag;
    if (flag == 0) {
        uid = static_cast<int>(geteuid());
        flag = 1;
    }
    return uid;
}

int u_checksum(int fd, U_CK_BUF *buf) {
    if (routed_fd(fd)) {
        Request<2> r(UFR_CODE_CHECKSUM, 0);
        r.set_int(0, fd);
        r.set_in_bytes(1, buf, static_cast<int>(sizeof(U_CK_BUF)));
        const UFR_ERR e = r.send();
        if (e.ufr_code < 0) {
            errno = e.r.sys_code;
            return -1;
        }
        if (ufr_dispatch->fns.lk_get_checksum(fd, &buf->w_checksum[0], &buf->u_history[0]) == 0) {
            buf->lev_mask |= 1;
        }
        return 0;
    }
    const int ret = get_checksum(fd, &buf->w_checksum[1], nullptr);
    buf->u_history[0] = nullptr;
    buf->u_history[1] = nullptr;
    if (ret >= 0) {
        buf->w_checksum[0] = 0;
        buf->u_history[0] = nullptr;
        buf->lev_mask = 2;
    }
    return ret;
}

// --- the write-checksum registry ---

void new_ck_hash_table(void) {
    if (ck_hash_table == nullptr) {
        ck_hash_table =
            static_cast<U_CHECKSUM_TYPE **>(calloc(U_CK_HASH_SIZE, sizeof(U_CHECKSUM_TYPE *)));
    }
}

U_CHECKSUM_TYPE **search_ck(int fd) {
    new_ck_hash_table();
    if (ck_hash_table == nullptr) {
        return nullptr;
    }
    for (U_CHECKSUM_TYPE **link = &ck_hash_table[bucket_of(fd)]; *link != nullptr;
         link = &(*link)->next) {
        if ((*link)->fd == fd) {
            return link;
        }
    }
    return nullptr;
}

void set_checksum(int fd, const void *data, int len) {
    U_CHECKSUM_TYPE *rec = nullptr;
    if (U_CHECKSUM_TYPE **link = search_ck(fd); link != nullptr) {
        rec = *link;
    } else if (ck_hash_table != nullptr) {
        rec = static_cast<U_CHECKSUM_TYPE *>(calloc(1, sizeof(U_CHECKSUM_TYPE)));
        if (rec == nullptr) {
            return; // no room for a record: the sum is not kept
        }
        rec->fd = fd;
        new_u_history(&rec->u_history);
        U_CHECKSUM_TYPE **head = &ck_hash_table[bucket_of(fd)];
        rec->next = *head;
        *head = rec;
    } else {
        return; // no bucket array: nothing can be kept
    }
    if (len > 0) {
        rec->w_checksum +=
            byte_sum(static_cast<const unsigned char *>(data), static_cast<std::size_t>(len));
    }
    set_u_history(&rec->u_history, len);
}

int get_checksum(int fd, uint32_t *retp, int **history_p) {
    U_CHECKSUM_TYPE **link = search_ck(fd);
    if (link != nullptr) {
        *retp = (*link)->w_checksum;
        if (history_p != nullptr) {
            *history_p = get_u_history(&(*link)->u_history);
        }
    } else {
        *retp = 0;
        if (history_p != nullptr) {
            *history_p = nullptr;
        }
    }
    return 0;
}

int free_checksum(int fd) {
    U_CHECKSUM_TYPE **link = search_ck(fd);
    if (link == nullptr) {
        return -1;
    }
    U_CHECKSUM_TYPE *rec = *link;
    *link = rec->next;
    free_u_history(&rec->u_history);
    free(rec);
    return 0;
}

} // extern "C"

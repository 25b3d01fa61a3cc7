/*
 * File-request layer: every open, read, write, seek and close of the library
 * goes through these calls. A host program may install a dispatch table in
 * ufr_dispatch; requests for descriptors above 65535 and for paths that another
 * user owns are then handed to it. Every direct write is added to a running
 * 32-bit checksum kept per descriptor.
 */
#ifndef R64_U_FILE_H
#define R64_U_FILE_H

#include <stdint.h>
#include "r64/defs.h"

R64_BEGIN_DECLS

/* One argument of a request; the first 32-bit word is always `type`. */
typedef union ufr_args {
    int type;
    struct {
        int type; /* 1 */
        int d;
    } d_int;
    struct {
        int type; /* 2 */
        int64_t d;
    } d_int64;
    struct {
        int type; /* 3: len bytes at d go to the dispatcher */
        int len;
        char *d;
    } d_char_ptr;
    struct {
        int type; /* 4: room for len bytes at d that the dispatcher fills */
        int len;
        char *d;
    } d_rep_char_ptr;
} UFR_ARGS;

/* Result of a request; a negative ufr_code means it failed. */
typedef struct ufr_err {
    int ufr_code;
    union {
        int sys_code; /* errno value of a failure */
        int d_int;    /* result of a successful call */
        int64_t d_int64;
    } r;
} UFR_ERR;

typedef struct ufr_req {
    struct ufr_req *next; /* the fields up to `ok` belong to the dispatcher */
    int seq;
    int ok;
    int uid;
    int transaction; /* 1 for opens, -1 for close, 0 otherwise */
    int ufr_code;    /* slot number of the operation */
    int argc;
    UFR_ARGS *argv;
    UFR_ERR ret;
} UFR_REQ;

struct __fns {
    UFR_ERR (*u_open)(UFR_REQ *req);
    UFR_ERR (*u_open64)(UFR_REQ *req);
    UFR_ERR (*u_close)(UFR_REQ *req);
    UFR_ERR (*u_read)(UFR_REQ *req);
    UFR_ERR (*u_write)(UFR_REQ *req);
    UFR_ERR (*u_lseek)(UFR_REQ *req);
    UFR_ERR (*u_lseek64)(UFR_REQ *req);
    UFR_ERR (*u_unlink)(UFR_REQ *req);
    UFR_ERR (*u_rmdir)(UFR_REQ *req);
    UFR_ERR (*u_mkdir)(UFR_REQ *req);
    UFR_ERR (*u_checksum)(UFR_REQ *req);
    int (*lk_get_checksum)(int fd, uint32_t *sum_out, int **history_out);
    void (*lk_set_checksum)(int fd, const void *data, int len);
    int (*lk_free_checksum)(int fd);
    int (*check_own)(int *err_out, int *uid_out, const char *path);
    UFR_ERR (*__ufr_call)(UFR_REQ *req);
    void (*__u_cp)(void);
};

/* The dispatch table: 17 function slots, by name or by index. */
typedef union ufr_tbl {
    struct __fns fns;
    void (*fns_Ary[17])(void);
} UFR_TBL;

enum {
    UFR_CODE_OPEN = 0,
    UFR_CODE_OPEN64 = 1,
    UFR_CODE_CLOSE = 2,
    UFR_CODE_READ = 3,
    UFR_CODE_WRITE = 4,
    UFR_CODE_LSEEK = 5,
    UFR_CODE_LSEEK64 = 6,
    UFR_CODE_UNLINK = 7,
    UFR_CODE_RMDIR = 8,
    UFR_CODE_MKDIR = 9,
    UFR_CODE_CHECKSUM = 10
};

typedef struct u_history_list {
    struct u_history_list *next;
    int len;
} U_HISTORY_LIST;

typedef struct u_history {
    U_HISTORY_LIST *head;
    U_HISTORY_LIST *tail;
} U_HISTORY;

/* One write-checksum record per descriptor. */
typedef struct u_checksum_type {
    struct u_checksum_type *next;
    int fd;
    uint32_t w_checksum;
    U_HISTORY u_history;
} U_CHECKSUM_TYPE;

/* Result of u_checksum: level 1 is this process's sum, level 0 the host's. */
typedef struct u_ck_buf {
    int lev_mask;
    uint32_t w_checksum[2];
    int *u_history[2];
} U_CK_BUF;

typedef struct u_fd_debug {
    char *file;
    int line;
} U_FD_DEBUG;

#define U_CK_HASH_SIZE 103
#define U_DISPATCH_FD_MIN 65536

extern UFR_TBL *ufr_dispatch;
extern U_CHECKSUM_TYPE **ck_hash_table;
extern int open_err_main_code;
extern int open_err_sub_code;
extern int u_open_point;
extern int ufr_errno;
extern U_FD_DEBUG *fdd_list;
extern int64_t test_offset;

int u_open(const char *filename, int flags, int mode);
int u_open64(const char *filename, int flags, int mode);
int u_close(int fd);
int u_read(int fd, void *data, int len);
int u_write(int fd, const void *data, int len);
int u_lseek(int fd, int ofs, int where);
int64_t u_lseek64(int fd, int64_t ofs, int where);
int u_unlink(const char *path);
int u_rmdir(const char *path);
int m_mkdir(const char *path, int mode);
char *u_getenv(const char *name);
int u_geteuid(void);
int u_checksum(int fd, U_CK_BUF *buf);

/* The write-checksum registry (exported for hosts and tests). */
void new_ck_hash_table(void);
U_CHECKSUM_TYPE **search_ck(int fd);
void set_checksum(int fd, const void *data, int len);
int get_checksum(int fd, uint32_t *retp, int **history_p);
int free_checksum(int fd);

/* History records: inert; get_u_history returns a malloc'ed int the caller frees. */
void new_u_history(U_HISTORY *h);
void free_u_history(U_HISTORY *h);
void set_u_history(U_HISTORY *h, int len);
int *get_u_history(U_HISTORY *h);

R64_END_DECLS

#endif

// The recording dispatch table used by the file-request and open tests.
#include "fake_dispatcher.h"

namespace r64_test {

namespace {

FakeDispatcher *active = nullptr;

UFR_ERR ufr_call(UFR_REQ *req) {
    RecordedRequest r{req->uid, req->transaction, req->ufr_code, req->argc, {}};
    for (int i = 0; i < req->argc; ++i) {
        const UFR_ARGS &a = req->argv[i];
        RecordedArg ra;
        ra.type = a.type;
        if (a.type == 1) {
            ra.value = a.d_int.d;
        } else if (a.type == 2) {
            ra.value = a.d_int64.d;
        } else if (a.type == 3) {
            ra.len = a.d_char_ptr.len;
            ra.ptr = a.d_char_ptr.d;
            ra.bytes.assign(ra.ptr, static_cast<size_t>(ra.len));
        } else if (a.type == 4) {
            ra.len = a.d_rep_char_ptr.len;
            ra.ptr = a.d_rep_char_ptr.d;
        }
        r.args.push_back(ra);
    }
    active->requests.push_back(r);
    return active->answer ? active->answer(req) : FakeDispatcher::ok();
}

int lk_get(int, uint32_t *sum_out, int **history_out) {
    *sum_out = active->get_sum;
    *history_out = nullptr;
    return active->get_result;
}

void lk_set(int fd, const void *, int len) {
    active->set_calls.emplace_back(fd, len);
}

int lk_free(int fd) {
    active->free_calls.push_back(fd);
    return 0;
}

int check_own(int *err_out, int *uid_out, const char *) {
    ++active->own_calls;
    *err_out = active->own_err;
    *uid_out = active->own_uid;
    return active->own_result;
}

} // namespace

FakeDispatcher::FakeDispatcher() {
    table_.fns.lk_get_checksum = lk_get;
    table_.fns.lk_set_checksum = lk_set;
    table_.fns.lk_free_checksum = lk_free;
    table_.fns.check_own = check_own;
    table_.fns.__ufr_call = ufr_call;
    active = this;
    ufr_dispatch = &table_;
}

FakeDispatcher::~FakeDispatcher() {
    ufr_dispatch = nullptr;
    active = nullptr;
}

UFR_ERR FakeDispatcher::ok(int d_int) {
    UFR_ERR e{};
    e.r.d_int = d_int;
    return e;
}

UFR_ERR FakeDispatcher::ok64(int64_t d) {
    UFR_ERR e{};
    e.r.d_int64 = d;
    return e;
}

UFR_ERR FakeDispatcher::fail(int code, int sys_code) {
    UFR_ERR e{};
    e.ufr_code = code;
    e.r.sys_code = sys_code;
    return e;
}

} // namespace r64_test

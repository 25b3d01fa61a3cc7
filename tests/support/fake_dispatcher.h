// A dispatch table for ufr_dispatch that records every request the file-request
// layer builds (arguments copied while the call lasts) and answers from a script.
// It is also the fault-injection hook: a test decides what each request returns.
#ifndef R64_TEST_FAKE_DISPATCHER_H
#define R64_TEST_FAKE_DISPATCHER_H

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "r64/u_file.h"

namespace r64_test {

struct RecordedArg {
    int type = 0;
    int64_t value = 0; // types 1 and 2
    int len = 0;       // types 3 and 4
    const char *ptr = nullptr;
    std::string bytes; // type 3: the len bytes as they were during the call
};

struct RecordedRequest {
    int uid = 0;
    int transaction = 0;
    int ufr_code = 0;
    int argc = 0;
    std::vector<RecordedArg> args;
};

// Installs itself in ufr_dispatch for its lifetime.
class FakeDispatcher {
  public:
    FakeDispatcher();
    ~FakeDispatcher();
    FakeDispatcher(const FakeDispatcher &) = delete;
    FakeDispatcher &operator=(const FakeDispatcher &) = delete;

    // What check_own answers: its result, the owner id and the err value.
    int own_result = 0;
    int own_uid = 0;
    int own_err = 0;
    int own_calls = 0;

    // Called for each request; by default every request succeeds with d_int 0.
    std::function<UFR_ERR(UFR_REQ *)> answer;

    std::vector<RecordedRequest> requests;
    // Names of the slot calls in order ("call", "get", "set", "free").
    std::vector<std::string> log;

    // Slot 11: what lk_get_checksum answers and the sum it reports.
    int get_result = 0;
    uint32_t get_sum = 0;
    // Slot 12 records its arguments here; slot 13 its fd.
    std::vector<std::pair<int, int>> set_calls; // fd, len
    std::vector<int> free_calls;

    static UFR_ERR ok(int d_int = 0);
    static UFR_ERR ok64(int64_t d);
    static UFR_ERR fail(int code, int sys_code);

  private:
    UFR_TBL table_{};
};

} // namespace r64_test

#endif

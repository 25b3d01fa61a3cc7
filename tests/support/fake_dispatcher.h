// A dispatch table for ufr_dispatch that records every request the file-request
// layer builds (arguments copied while the call lasts) and answers from a script.
// It is also the fault-injection hook: a test decides what each request returns.
#ifndef R64_TEST_FAKE_DISPATCHER_H
#define R64_TEST_FAKE_DISPATCHER_H

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "r64/u_file.h"

namespace r64_test {

struct RecordedArg {
    int type = 0;
    int64_t value = 0;         // types 1 and 2
    int len = 0;               // types 3 and 4
    const char *ptr = nullptr; // types 3 and 4
    std::string bytes;         // type 3: the len bytes as they were during the call
};

struct RecordedRequest {
    int uid = 0, transaction = 0, ufr_code = 0, argc = 0;
    std::vector<RecordedArg> args;
};

// Installs itself in ufr_dispatch for its lifetime.
class FakeDispatcher {
  public:
    FakeDispatcher();
    ~FakeDispatcher();
    FakeDispatcher(const FakeDispatcher &) = delete;
    FakeDispatcher &operator=(const FakeDispatcher &) = delete;

    // What check_own answers (its result, the owner id, the err value); calls counted.
    int own_result = 0, own_uid = 0, own_err = 0, own_calls = 0;
    // Called for each request; by default every request succeeds with d_int 0.
    std::function<UFR_ERR(UFR_REQ *)> answer;
    std::vector<RecordedRequest> requests;

    // Slot 11 answers get_result with get_sum; slots 12 and 13 record their calls.
    int get_result = 0;
    uint32_t get_sum = 0;
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

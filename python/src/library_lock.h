// The one lock that serialises every call into the r64 library from Python. The
// library keeps process-wide state (r64_error, the cache-entry count, the Fourier
// tables), so only one thread may be inside it at a time; the GIL is released while
// the lock is held so that other Python threads keep running meanwhile.
#ifndef R64_PYTHON_LIBRARY_LOCK_H
#define R64_PYTHON_LIBRARY_LOCK_H

#include <mutex>

#include <pybind11/pybind11.h>

namespace r64py {

inline std::mutex &library_mutex() {
    static std::mutex m;
    return m;
}

// Scope of a library call made without the GIL. The GIL is given up before the lock
// is taken and taken back after the lock is released, so that a thread holding the
// lock never waits for the GIL (no lock-order cycle). No Python object may be touched
// inside the scope.
class UnlockedCall {
  public:
    UnlockedCall() = default;
    UnlockedCall(const UnlockedCall &) = delete;
    UnlockedCall &operator=(const UnlockedCall &) = delete;

  private:
    pybind11::gil_scoped_release gil_;
    std::lock_guard<std::mutex> lock_{library_mutex()};
};

// Scope of a short library call made with the GIL held (metadata, closing from a
// destructor). Safe for the same reason: the lock's holder never waits for the GIL.
using HeldCall = std::lock_guard<std::mutex>;

} // namespace r64py

#endif

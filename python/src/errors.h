// Failures of the binding as one C++ exception type, raised outside the library lock
// and turned into the package's Python exceptions (r64.Error and its subclasses, each
// also an OSError, ValueError, TypeError or MemoryError) by a translator that
// module.cpp registers.
#ifndef R64_PYTHON_ERRORS_H
#define R64_PYTHON_ERRORS_H

#include <string>

#include <pybind11/pybind11.h>

namespace r64py {

// Which Python class a failure becomes. The library's codes pick one through
// kind_of_code; failures found by the binding itself name theirs.
enum class ErrorKind { File, Data, Argument, Array, Memory };

struct Failure {
    ErrorKind kind;
    int code;            // the library's r64_error code, or the one the binding chose
    std::string message; // in words, with the file and the step that failed
    int sys_errno = 0;   // errno of a failed file operation (File only)
    std::string filename;
};

// The Python class family of a library code: -1 file, -3 memory, -7 -8 -9 argument,
// everything else (short, damaged, wrong format, missing level data) data.
ErrorKind kind_of_code(int code);
// The library's code in words, as r64tool states it.
std::string code_words(int code);

// Throws a Failure for a library call that failed with `code` (r64_error) and errno
// `sys_errno`; `what` says which step failed.
[[noreturn]] void fail_library(const std::string &filename, const std::string &what, int code,
                               int sys_errno);
[[noreturn]] void fail(ErrorKind kind, int code, const std::string &message);

void register_error_translator(pybind11::module_ &m);

} // namespace r64py

#endif

// Turns Failure exceptions into the package's Python exceptions. The classes live in
// r64/_errors.py; r64._errors.from_failure builds the instance (OSError arguments for
// file failures, the code on every instance), so the classes keep one definition.
#include "errors.h"

#include <cstring>

#include "r64/r64.h"

namespace py = pybind11;

namespace r64py {

ErrorKind kind_of_code(int code) {
    switch (code) {
    case R64_ERR_IO:
        return ErrorKind::File;
    case R64_ERR_NOMEM:
        return ErrorKind::Memory;
    case R64_ERR_RANGE:
    case R64_ERR_CTL:
    case R64_ERR_LEVEL:
        return ErrorKind::Argument;
    default:
        return ErrorKind::Data;
    }
}

std::string code_words(int code) {
    return r64_strerror(code);
}

void fail_library(const std::string &filename, const std::string &what, int code, int sys_errno) {
    std::string message = filename + ": " + what + ": " + code_words(code);
    const ErrorKind kind = kind_of_code(code);
    if (kind == ErrorKind::File && sys_errno != 0) {
        message += " (" + std::string(std::strerror(sys_errno)) + ")";
    }
    message += " [r64_error " + std::to_string(code) + "]";
    throw Failure{kind, code, message, kind == ErrorKind::File ? sys_errno : 0, filename};
}

void fail(ErrorKind kind, int code, const std::string &message) {
    throw Failure{kind, code, message, 0, {}};
}

namespace {

const char *kind_name(ErrorKind kind) {
    switch (kind) {
    case ErrorKind::File:
        return "file";
    case ErrorKind::Data:
        return "data";
    case ErrorKind::Argument:
        return "argument";
    case ErrorKind::Array:
        return "array";
    case ErrorKind::Memory:
        return "memory";
    }
    return "data";
}

} // namespace

void register_error_translator(py::module_ &) {
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) {
                std::rethrow_exception(p);
            }
        } catch (const Failure &f) {
            // Builds the exception with the GIL held (translators run with it).
            py::object make = py::module_::import("r64._errors").attr("from_failure");
            py::object exc =
                make(kind_name(f.kind), f.code, f.message, f.sys_errno,
                     f.filename.empty() ? py::object(py::none()) : py::object(py::str(f.filename)));
            PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(exc.ptr())), exc.ptr());
        }
    });
}

} // namespace r64py

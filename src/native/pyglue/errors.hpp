// Python exceptions raised from C++, and the one translation of the native
// library's errors into Python exceptions, registered by every module.
//
//   kx::raise                  set a Python exception and throw
//   kx::raise_type_error       the package's argument type error
//   kx::raise_file_error       a failed file operation as OSError (its errno picks the subclass)
//   kx::register_native_errors the native error types as Python exceptions, for one module
//
// Call with the GIL held.
#pragma once

#include <pybind11/pybind11.h>

#include <cstring>
#include <exception>
#include <string>

#include "records/example.hpp"
#include "records/record_file.hpp"

namespace kx {
namespace py = pybind11;

// Sets a Python exception of `type` with `message` and throws it to pybind11.
[[noreturn]] inline void raise(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw py::error_already_set();
}

// Raises the package's argument type error for `value` given as `name`.
[[noreturn]] inline void raise_type_error(const char* name, const char* expected, py::handle value) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 name, expected, Py_TYPE(value.ptr())->tp_name);
    throw py::error_already_set();
}

namespace detail {

// Sets OSError(errno, "<action> '<file>': <reason>", filename): the errno picks the
// subclass (FileNotFoundError, PermissionError, IsADirectoryError, ...).
inline void set_file_error(const records::FileError& e) {
    py::object filename = py::module_::import("os").attr("fsdecode")(py::bytes(e.path()));
    py::object exc = py::reinterpret_borrow<py::object>(PyExc_OSError)(
        e.errno_value(), e.action() + ": " + std::strerror(e.errno_value()), filename);
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr())), exc.ptr());
}

inline void translate_native_errors(std::exception_ptr error) {
    try {
        if (error) std::rethrow_exception(error);
    } catch (const records::FileError& e) {
        set_file_error(e);
    } catch (const records::RecordError& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const records::ExampleError& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    }
}

}  // namespace detail

// Raises a failed file operation of the native library as OSError, for code that
// catches it itself (to release the GIL around the call, say).
[[noreturn]] inline void raise_file_error(const records::FileError& e) {
    detail::set_file_error(e);
    throw py::error_already_set();
}

// Registers, for the module being initialised, the translation of the native library's
// errors: a failed file operation becomes OSError, a damaged record file or a malformed
// Example a ValueError, each with the native message. Other C++ exceptions keep
// pybind11's own translation. One line in every PYBIND11_MODULE.
inline void register_native_errors(py::module_&) { py::register_local_exception_translator(detail::translate_native_errors); }

}  // namespace kx

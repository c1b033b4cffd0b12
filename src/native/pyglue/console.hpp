// Console output from C++ through Python, never std::cout: it must interleave with tqdm
// bars, follow redirections of sys.stdout, and obey warning filters.
//
//   kx::print / kx::warn  console output through Python's print and warnings
//
// Call with the GIL held.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

#include "pyglue/imports.hpp"

namespace kx {
namespace py = pybind11;

// Prints one line through Python's print, so it interleaves with tqdm bars and
// follows redirections of sys.stdout.
inline void print(py::handle text) {
    static Lazy builtin_print{"builtins", "print"};
    builtin_print()(text);
}
inline void print(const std::string& text) { print(py::str(text)); }

// Issues a warning through Python's warnings machinery (filters apply; a
// filter that turns it into an error raises here).
inline void warn(const std::string& message, PyObject* category = PyExc_UserWarning, int stacklevel = 1) {
    if (PyErr_WarnEx(category, message.c_str(), stacklevel) < 0) throw py::error_already_set();
}

}  // namespace kx

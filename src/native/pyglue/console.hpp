// Console output from C++ through Python, never std::cout: it must interleave with tqdm
// bars, follow redirections of sys.stdout, and obey warning filters.
//
//   kx::print / kx::warn  console output through Python's print and warnings
//   kx::bar_progress      a progress callback for native work that moves a tqdm bar
//
// Call with the GIL held.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <functional>
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

// A progress callback for native work that runs without the GIL: called with the number of
// items done so far, it takes the GIL and moves `bar` (a tqdm bar, which must outlive the
// callback) on by the difference. A display that fails does not stop the work; a Ctrl-C
// (KeyboardInterrupt raised in the bar's Python code) goes on to the caller.
inline std::function<void(std::size_t)> bar_progress(py::handle bar) {
    return [bar, shown = std::size_t{0}](std::size_t done) mutable {
        py::gil_scoped_acquire acquire;
        try {
            bar.attr("update")(done - shown);
        } catch (py::error_already_set& e) {
            if (e.matches(PyExc_KeyboardInterrupt)) throw;
        }
        shown = done;
    };
}

}  // namespace kx

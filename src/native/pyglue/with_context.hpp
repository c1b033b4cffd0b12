// A Python `with` block around C++ code (tf.GradientTape(), writer.as_default(),
// warnings.catch_warnings()): __enter__ on entry and __exit__ on every way out, given the
// pending exception as Python's with would give it.
//
//   kx::with_context      a Python `with` block around a C++ lambda
//
// Call with the GIL held.
#pragma once

#include <pybind11/pybind11.h>

#include <optional>
#include <type_traits>
#include <utility>

namespace kx {
namespace py = pybind11;

namespace detail {

// Calls __exit__ with the error being handled and returns whether it suppresses the error.
// A missing traceback (an error set from C++ has none) goes to __exit__ as None. An error
// raised by __exit__ itself replaces the original, which becomes its __context__, as under
// Python's with.
inline bool exit_with_error(const py::object& exit, const py::object& mgr, py::error_already_set& err) {
    py::object trace = err.trace() ? py::reinterpret_borrow<py::object>(err.trace()) : py::object(py::none());
    py::object suppress;
    try {
        suppress = exit(mgr, err.type(), err.value(), trace);
    } catch (py::error_already_set& raised) {
        PyObject* value = raised.value().ptr();
        if (value != err.value().ptr()) {
            PyObject* context = PyException_GetContext(value);  // a new reference
            if (context == nullptr) {
                PyException_SetContext(value, py::object(err.value()).release().ptr());
            } else {
                Py_DECREF(context);
            }
        }
        throw;
    }
    const int truth = PyObject_IsTrue(suppress.ptr());
    if (truth < 0) throw py::error_already_set();
    return truth == 1;
}

// The Python error for the C++ exception being handled (call inside a catch block), as
// pybind11 would report it at the module boundary.
inline py::error_already_set current_error() {
    py::detail::try_translate_exceptions();
    return py::error_already_set();
}

}  // namespace detail

// Runs `body` inside `with manager:` and returns what it returns. __exit__ runs exactly once
// on every way out and sees the pending exception's type, value and traceback (None, None,
// None on success), so the manager behaves as under Python's with: every error raised in
// the body (a Python error, a C++ exception, a KeyboardInterrupt) reaches the caller as
// itself unless __exit__ suppresses it by returning a true value, in which case a
// default-constructed result is returned; an error raised by __exit__ replaces it.
template <typename Body>
auto with_context(py::handle manager, Body&& body) -> decltype(body()) {
    using Result = decltype(body());
    py::object mgr = py::reinterpret_borrow<py::object>(manager);
    py::object exit = py::type::of(mgr).attr("__exit__");
    py::type::of(mgr).attr("__enter__")(mgr);
    using Stored = std::conditional_t<std::is_void_v<Result>, bool, std::optional<Result>>;
    Stored result{};
    try {
        if constexpr (std::is_void_v<Result>) {
            body();
        } else {
            result.emplace(body());
        }
    } catch (py::error_already_set& err) {
        if (!detail::exit_with_error(exit, mgr, err)) throw;
        return Result();
    } catch (...) {
        py::error_already_set err = detail::current_error();
        if (!detail::exit_with_error(exit, mgr, err)) throw err;
        return Result();
    }
    // Outside the try: an error raised by __exit__ on success is not given to it again.
    exit(mgr, py::none(), py::none(), py::none());
    if constexpr (!std::is_void_v<Result>) return std::move(*result);
}

}  // namespace kx

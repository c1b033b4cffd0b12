// Arguments checked and converted on entry, in one place, so that every module reports a
// bad argument the same way and names it.
//
//   kx::check_type        the exact-type argument check ("Argument '...' has incorrect type ...")
//   kx::require           a mandatory argument given as None, named ("Argument 'x' is required")
//   kx::to_double         a float-declared argument converted on entry
//   kx::to_finite         the same, also checked to be finite and within a range
//   kx::to_int64/to_size  an integer argument converted on entry, range-checked
//   kx::shape_text        an array's shape as Python prints it
//   kx::check_image       an image argument checked before TensorFlow sees it
//
// Call with the GIL held.
#pragma once

#include <pybind11/pybind11.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <string>

#include "pyglue/errors.hpp"
#include "pyglue/imports.hpp"

namespace kx {
namespace py = pybind11;

// Arguments declared as str, list or dict accept exactly that type or None; a
// subclass (an OrderedDict, say) is rejected.
inline void check_type(py::handle value, const char* name, PyTypeObject* expected) {
    if (value.is_none() || Py_TYPE(value.ptr()) == expected) return;
    raise_type_error(name, expected->tp_name, value);
}
inline void check_str(py::handle value, const char* name) { check_type(value, name, &PyUnicode_Type); }
inline void check_list(py::handle value, const char* name) { check_type(value, name, &PyList_Type); }
inline void check_dict(py::handle value, const char* name) { check_type(value, name, &PyDict_Type); }

// Arguments declared as float are converted to double on entry; anything that
// does not convert (a string, None) is a TypeError naming the argument.
inline double to_double(py::handle value, const char* name) {
    double result = PyFloat_AsDouble(value.ptr());
    if (result == -1.0 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw py::error_already_set();
        PyErr_Clear();
        raise_type_error(name, "float", value);
    }
    return result;
}

// Arguments without which an object cannot work (a model, a logger, a descriptor) are checked
// on entry: None is a TypeError naming the argument, not an AttributeError of a later lookup.
inline void require(py::handle value, const char* name) {
    if (!value.is_none()) return;
    raise(PyExc_TypeError, std::string("Argument '") + name + "' is required (got None)");
}

// A float argument that must be a finite number in [min, max] (`min_open`: above min): NaN,
// an infinity or a value outside is a ValueError naming the argument, the range and the value.
inline double to_finite(py::handle value, const char* name, double min = -std::numeric_limits<double>::max(),
                        double max = std::numeric_limits<double>::max(), bool min_open = false) {
    const double result = to_double(value, name);
    if (std::isfinite(result) && (min_open ? result > min : result >= min) && result <= max) return result;
    std::string range = "a finite number";
    auto text = [](double v) { return py::str(py::float_(v)).cast<std::string>(); };
    const bool low = min > -std::numeric_limits<double>::max(), high = max < std::numeric_limits<double>::max();
    if (low && high) {
        range += std::string(" in ") + (min_open ? "(" : "[") + text(min) + ", " + text(max) + "]";
    } else if (low) {
        range += (min_open ? " above " : " of at least ") + text(min);
    } else if (high) {
        range += " of at most " + text(max);
    }
    raise(PyExc_ValueError, std::string("Argument '") + name + "' must be " + range + ", got " + text(result));
}

// Integer arguments are converted on entry, in one place, so every module reports a bad one
// the same way: an int or anything with __index__ (a NumPy integer, a bool) is taken; any
// other value (a float, a string, None) is a TypeError naming the argument; an integer
// outside [min, max] (2**64, say, or a negative size) is a ValueError naming the argument,
// the accepted range and the value. Callers that allow None check for it first.
namespace detail {

// repr(value), or its size in bits for an int too long to print.
inline std::string describe_int(py::handle value) {
    PyObject* text = PyObject_Repr(value.ptr());
    if (text != nullptr) return py::reinterpret_steal<py::str>(text).cast<std::string>();
    PyErr_Clear();
    return "an integer of " + py::str(value.attr("bit_length")()).cast<std::string>() + " bits";
}

// The argument as a Python int, through __index__.
inline py::int_ index_of(py::handle value, const char* name) {
    PyObject* index = PyNumber_Index(value.ptr());
    if (index == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw py::error_already_set();
        PyErr_Clear();
        raise_type_error(name, "int", value);
    }
    return py::reinterpret_steal<py::int_>(index);
}

template <typename T>
[[noreturn]] void raise_out_of_range(const char* name, T min, T max, py::handle value) {
    raise(PyExc_ValueError, std::string("Argument '") + name + "' is out of range (expected an integer from " +
                                std::to_string(min) + " to " + std::to_string(max) + ", got " +
                                describe_int(value) + ")");
}

}  // namespace detail

inline std::int64_t to_int64(py::handle value, const char* name,
                             std::int64_t min = std::numeric_limits<std::int64_t>::min(),
                             std::int64_t max = std::numeric_limits<std::int64_t>::max()) {
    py::int_ index = detail::index_of(value, name);
    int overflow = 0;
    const long long result = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    if (result == -1 && overflow == 0 && PyErr_Occurred()) throw py::error_already_set();
    if (overflow != 0 || result < min || result > max) detail::raise_out_of_range(name, min, max, index);
    return static_cast<std::int64_t>(result);
}

inline std::size_t to_size(py::handle value, const char* name,
                           std::size_t max = std::numeric_limits<std::size_t>::max()) {
    py::int_ index = detail::index_of(value, name);
    int negative = PyObject_RichCompareBool(index.ptr(), py::int_(0).ptr(), Py_LT);
    if (negative < 0) throw py::error_already_set();
    unsigned long long result = 0;
    if (negative == 0) {
        result = PyLong_AsUnsignedLongLong(index.ptr());
        if (result == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
            if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw py::error_already_set();
            PyErr_Clear();
            negative = -1;  // too large: reported below
        }
    }
    if (negative != 0 || result > max) detail::raise_out_of_range<std::size_t>(name, 0, max, index);
    return static_cast<std::size_t>(result);
}

// "(3, 0, 3)": the shape of an array-like, as Python prints a tuple.
inline std::string shape_text(py::handle array) { return py::str(py::tuple(array.attr("shape"))).cast<std::string>(); }

// An argument holding one image, height x width x channels, checked before it reaches
// TensorFlow (whose PNG encoder aborts the process on an empty float image): it must hold
// numbers (unsigned, signed or floating point), have rank 3 with one of the `channels`
// counts, and not be empty. Anything else is a ValueError naming the argument and the dtype
// or shape received. Returns np.asarray(image).
inline py::object check_image(py::handle image, const char* name, std::initializer_list<int> channels) {
    static Lazy np_asarray{"numpy", "asarray"};
    py::object array = np_asarray()(image);
    const std::string quoted = std::string("'") + name + "'";
    py::object dtype = array.attr("dtype");
    const std::string kind = py::str(dtype.attr("kind")).cast<std::string>();
    if (kind != "u" && kind != "i" && kind != "f")
        raise(PyExc_ValueError, quoted + " must hold numbers (an integer or floating-point image), got dtype " +
                                    py::str(dtype).cast<std::string>());
    std::string wanted;  // "1 or 3", "1, 2, 3 or 4"
    for (const int* c = channels.begin(); c != channels.end(); ++c) {
        if (c != channels.begin()) wanted += c + 1 == channels.end() ? " or " : ", ";
        wanted += std::to_string(*c);
    }
    py::tuple shape(array.attr("shape"));
    bool channels_ok = false;
    if (shape.size() == 3)
        for (int c : channels) channels_ok = channels_ok || shape[2].cast<py::ssize_t>() == c;
    if (!channels_ok)
        raise(PyExc_ValueError, quoted + " must have shape (height, width, " + wanted + "), got " + shape_text(array));
    if (shape[0].cast<py::ssize_t>() == 0 || shape[1].cast<py::ssize_t>() == 0)
        raise(PyExc_ValueError, quoted + " is empty: shape " + shape_text(array));
    return array;
}

}  // namespace kx

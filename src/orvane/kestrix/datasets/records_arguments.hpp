// The argument conversions of orvane.kestrix.datasets.records (included by
// records.cpp only): paths, byte strings, serialized Examples, label and box
// vectors, each checked with an error that names the argument. Must be called
// with the GIL held.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "pyglue/glue.hpp"

namespace py = pybind11;

namespace {

bool is_path_like(py::handle value) {
    return PyUnicode_Check(value.ptr()) || PyBytes_Check(value.ptr()) || py::hasattr(value, "__fspath__");
}

// A filesystem path as the bytes the OS sees (os.fsencode: str, bytes, PathLike).
std::string to_path(py::handle value, const char* name) {
    static kx::Lazy fsencode{"os", "fsencode"};
    if (!is_path_like(value))
        kx::raise(PyExc_TypeError, std::string(name) + ": expected a path (str, bytes or os.PathLike), got " +
                                       Py_TYPE(value.ptr())->tp_name);
    return fsencode()(value).cast<std::string>();
}

std::vector<std::string> to_paths(py::handle value, const char* name) {
    std::vector<std::string> paths;
    if (is_path_like(value)) {
        paths.push_back(to_path(value, name));
        return paths;
    }
    if (!py::isinstance<py::iterable>(value))
        kx::raise(PyExc_TypeError, std::string(name) + ": expected a path or an iterable of paths, got " +
                                       Py_TYPE(value.ptr())->tp_name);
    for (py::handle item : py::reinterpret_borrow<py::iterable>(value)) paths.push_back(to_path(item, name));
    return paths;
}

// The bytes of a bytes-like argument. Immutable bytes are viewed in place
// (`keep` holds the object); mutable buffers are copied into `storage` so
// that the content cannot change while the GIL is released.
std::string_view to_bytes_view(py::handle value, const std::string& name, py::object& keep, std::string& storage) {
    if (PyBytes_Check(value.ptr())) {
        keep = py::reinterpret_borrow<py::object>(value);
        return {PyBytes_AS_STRING(value.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(value.ptr()))};
    }
    if (py::isinstance<py::array>(value)) {
        auto arr = py::reinterpret_borrow<py::array>(value);
        if (arr.ndim() == 0) return to_bytes_view(arr.attr("item")(), name, keep, storage);  // np.bytes_ in a 0-d array
        if (arr.ndim() != 1 || arr.itemsize() != 1)
            kx::raise(PyExc_TypeError, name + ": expected bytes or a 1-D uint8 array, got an array of shape " +
                                           py::str(arr.attr("shape")).cast<std::string>() + " and dtype " +
                                           py::str(arr.dtype()).cast<std::string>());
    }
    if (PyUnicode_Check(value.ptr()) || !PyObject_CheckBuffer(value.ptr()))
        kx::raise(PyExc_TypeError, name + ": expected a bytes-like object, got " + Py_TYPE(value.ptr())->tp_name);
    Py_buffer view;
    if (PyObject_GetBuffer(value.ptr(), &view, PyBUF_CONTIG_RO) != 0) {
        PyErr_Clear();
        kx::raise(PyExc_TypeError, name + ": expected a contiguous bytes-like object, got " +
                                       Py_TYPE(value.ptr())->tp_name);
    }
    storage.assign(static_cast<const char*>(view.buf), static_cast<std::size_t>(view.len));
    PyBuffer_Release(&view);
    return storage;
}

// The serialized record handed to parse_example in any of the forms the
// pipelines produce.
py::object unwrap_serialized(py::handle value) {
    py::object current = py::reinterpret_borrow<py::object>(value);
    for (int depth = 0; depth < 4; ++depth) {
        if (PyBytes_Check(current.ptr())) return current;
        if (py::isinstance<py::array>(current)) {
            auto arr = py::reinterpret_borrow<py::array>(current);
            if (arr.ndim() != 0) return current;  // handled (or rejected) as a buffer
            current = arr.attr("item")();
            continue;
        }
        if (py::hasattr(current, "numpy")) {
            current = current.attr("numpy")();  // eager tensor
            continue;
        }
        return current;
    }
    return current;
}

std::string type_name(py::handle value) { return Py_TYPE(value.ptr())->tp_name; }

std::string shape_of(const py::array& arr) { return py::str(arr.attr("shape")).cast<std::string>(); }

// Integers (any integer dtype, or integral floats when allow_integral_floats)
// as a flat int64 array.
py::array_t<std::int64_t> to_int64_vector(py::handle value, const std::string& name, bool allow_integral_floats) {
    static kx::Lazy np_asarray{"numpy", "asarray"};
    py::array arr = np_asarray()(value);
    if (arr.size() == 0) return py::array_t<std::int64_t>(0);
    if (arr.ndim() != 1)
        kx::raise(PyExc_ValueError, name + " must be a 1-D sequence of integers, got shape " + shape_of(arr));
    const char kind = arr.dtype().kind();
    if (kind == 'f' && allow_integral_floats) {
        py::array_t<double, py::array::c_style | py::array::forcecast> f(arr);
        for (py::ssize_t i = 0; i < f.size(); ++i) {
            const double v = f.data()[i];
            if (!(v == static_cast<double>(static_cast<std::int64_t>(v))))
                kx::raise(PyExc_ValueError, name + " must hold integer class indices, got " + std::to_string(v));
        }
        return py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>(f);
    }
    if (kind != 'i' && kind != 'u')
        kx::raise(PyExc_TypeError, name + " must hold integers, got dtype " + py::str(arr.dtype()).cast<std::string>());
    return py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>(arr);
}

// Boxes as a flat float32 array of 4*rows values, from [rows, 4] or flat input.
py::array_t<float> to_box_vector(py::handle value, const std::string& name, std::size_t rows) {
    static kx::Lazy np_asarray{"numpy", "asarray"};
    py::array arr = np_asarray()(value);
    const bool empty_ok = rows == 0 && arr.size() == 0;
    const bool matrix_ok = arr.ndim() == 2 && arr.shape(1) == 4 && static_cast<std::size_t>(arr.shape(0)) == rows;
    const bool flat_ok = arr.ndim() == 1 && static_cast<std::size_t>(arr.shape(0)) == 4 * rows;
    if (!(empty_ok || matrix_ok || flat_ok))
        kx::raise(PyExc_ValueError, name + " must be [N, 4] (or 4*N values) for the N = " + std::to_string(rows) +
                                        " objects, got shape " + shape_of(arr));
    const char kind = arr.dtype().kind();
    if (arr.size() > 0 && kind != 'f' && kind != 'i' && kind != 'u')
        kx::raise(PyExc_TypeError, name + " must hold numbers, got dtype " + py::str(arr.dtype()).cast<std::string>());
    py::array_t<float> out(static_cast<py::ssize_t>(4 * rows));
    if (rows > 0) {
        py::array_t<float, py::array::c_style | py::array::forcecast> values(arr);
        std::copy(values.data(), values.data() + values.size(), out.mutable_data());
    }
    // NaN or infinite coordinates (also values too large for float32) would
    // reach the training boxes as NaN; they are refused where they are written.
    const float* v = out.data();
    for (py::ssize_t i = 0; i < out.size(); ++i)
        if (!std::isfinite(v[i]))
            kx::raise(PyExc_ValueError, name + " must be finite, got " + std::to_string(v[i]) + " at value " +
                                            std::to_string(i) + " (box " + std::to_string(i / 4) + ")");
    return out;
}

}  // namespace

// The augmentation settings of a detection dataset: its `aug_cfg` dictionary
// checked and turned into the settings of src/native/augment (included by
// core.cpp only; must be called with the GIL held).
#pragma once

#include <pybind11/pybind11.h>

#include <string>

#include "augment/augment.hpp"
#include "pyglue/glue.hpp"

namespace py = pybind11;

namespace {

struct Augmentation {
    kx::augment::Config config;
    py::object seed = py::none();  // None or a Python int
};

// aug_cfg checked and turned into settings; None, or a dict of known keys with
// frequencies in 0..1. Errors name the key.
Augmentation parse_augmentation(py::handle aug_cfg) {
    kx::check_dict(aug_cfg, "aug_cfg");
    Augmentation result;
    if (aug_cfg.is_none()) return result;
    static const char* const kKnown = "flip, hsv, scale, mosaic, seed";
    for (auto item : py::reinterpret_borrow<py::dict>(aug_cfg)) {
        std::string key = py::str(item.first);
        py::handle value = item.second;
        if (key == "seed") {
            if (!value.is_none() && (PyBool_Check(value.ptr()) || !PyIndex_Check(value.ptr())))
                kx::raise(PyExc_ValueError, "[ERROR]: aug_cfg['seed'] must be an integer or None, got " +
                                                std::string(py::repr(value)));
            if (!value.is_none()) result.seed = py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr()));
            continue;
        }
        double* frequency = key == "flip" ? &result.config.flip
                            : key == "hsv" ? &result.config.hsv
                            : key == "scale" ? &result.config.scale
                            : key == "mosaic" ? &result.config.mosaic
                                             : nullptr;
        if (frequency == nullptr || !PyUnicode_Check(item.first.ptr()))
            kx::raise(PyExc_ValueError, "[ERROR]: aug_cfg key " + std::string(py::repr(item.first)) +
                                            " is not an augmentation (known keys: " + kKnown + ")");
        double number = -1.0;
        if (!PyBool_Check(value.ptr()) && (PyFloat_Check(value.ptr()) || PyLong_Check(value.ptr()))) {
            number = PyFloat_AsDouble(value.ptr());
            if (number == -1.0 && PyErr_Occurred()) throw py::error_already_set();
        }
        if (!(number >= 0.0 && number <= 1.0))
            kx::raise(PyExc_ValueError, "[ERROR]: aug_cfg['" + key + "'] must be a frequency between 0 and 1, got " +
                                            std::string(py::repr(value)));
        *frequency = number;
    }
    return result;
}

}  // namespace

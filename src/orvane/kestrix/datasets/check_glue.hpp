// What the readers' dataset checks (check_dataset of the Darknet and TFRecord
// modules) share: the descriptor they are given, read as the readers read it,
// without building a dataset. Header-only; call with the GIL held.
#pragma once

#include <pybind11/pybind11.h>

#include "pyglue/glue.hpp"

namespace kx::datasets {
namespace py = pybind11;

// A stand-in for a dataset without the background class, for the readers'
// descriptor checks to set their attributes on.
inline py::object check_target() {
    static Lazy namespace_type{"types", "SimpleNamespace"};
    return namespace_type()(py::arg("class_offset") = 0);
}

// The descriptor dictionary of a check: a YAML file read by the base class
// (`descriptor` a str), or a copy of the caller's dictionary with `type` set
// to `type` when it has none. Anything else is a TypeError.
inline py::dict check_descriptor(py::object descriptor, const char* type, py::handle target) {
    static Lazy base_class{"orvane.kestrix.datasets.core", "BaseDetectionDataset"};
    if (PyUnicode_Check(descriptor.ptr())) return base_class().attr("validate_info_file")(target, descriptor);
    if (!PyDict_Check(descriptor.ptr())) raise_type_error("descriptor", "dict or str", descriptor);
    // A copy: the caller's dictionary stays as it is.
    auto content = py::reinterpret_steal<py::dict>(PyDict_Copy(descriptor.ptr()));
    if (!content) throw py::error_already_set();
    if (!content.contains("type")) content["type"] = type;
    return content;
}

}  // namespace kx::datasets

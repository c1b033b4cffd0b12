// Ordinary Python classes (often with a Python base such as a Keras schedule) built from
// C++, the way a class statement would build them.
//
//   kx::make_class        type(name, bases, namespace) with __module__/__qualname__/__doc__
//   kx::def_method        a C++ function as a method of such a class
//   kx::def_init          the same for __init__ (see the note there)
//   kx::super_init        super(cls, self).__init__(*args, **kwargs)
//
// Call with the GIL held.
#pragma once

#include <pybind11/pybind11.h>

#include <utility>

#include "pyglue/imports.hpp"

namespace kx {
namespace py = pybind11;

// Builds a plain Python class `name` with the given base(s) in module `m`, the
// way a class statement would, and adds it to the module.
inline py::object make_class(py::module_& m, const char* name, py::handle bases, const char* doc) {
    py::tuple base_tuple = py::isinstance<py::tuple>(bases) ? py::reinterpret_borrow<py::tuple>(bases)
                                                             : py::make_tuple(bases);
    py::dict ns;
    ns["__module__"] = m.attr("__name__");
    ns["__qualname__"] = py::str(name);
    ns["__doc__"] = py::str(doc);
    auto type_type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type));
    py::object cls = type_type(py::str(name), base_tuple, ns);
    m.attr(name) = cls;
    return cls;
}

// Attaches `f` as method `name` of `cls`. `f` takes the instance first (as a
// py::object); pass py::arg(...) extras for the remaining parameters only.
template <typename Func, typename... Extra>
py::cpp_function def_method(py::handle cls, const char* name, Func&& f, const char* doc, const Extra&... extra) {
    py::cpp_function fn(std::forward<Func>(f), py::name(name), py::is_method(cls), py::doc(doc), extra...);
    py::setattr(cls, name, fn);
    return fn;
}

// Attaches `f` as the constructor of `cls`. pybind11 treats a function named
// "__init__" as a constructor of a pybind11 class and would read pybind11
// instance fields out of our plain Python object, so the function is named
// "init" and only bound to the attribute __init__.
template <typename Func, typename... Extra>
py::cpp_function def_init(py::handle cls, Func&& f, const char* doc, const Extra&... extra) {
    py::cpp_function fn(std::forward<Func>(f), py::name("init"), py::is_method(cls), py::doc(doc), extra...);
    py::setattr(cls, "__init__", fn);
    return fn;
}

// super(cls, self).__init__(*args, **kwargs)
inline void super_init(py::handle cls, py::handle self, const py::args& args = py::args(),
                       const py::kwargs& kwargs = py::kwargs()) {
    static Lazy builtin_super{"builtins", "super"};
    builtin_super()(cls, self).attr("__init__")(*args, **kwargs);
}

}  // namespace kx

// C++ functions compiled by tf.function, without Python source.
//
//   kx::Param, kx::MethodBody  a compiled function's parameters and its C++ body
//   kx::compile_function       tf.function of a C++ body
//   kx::compile_method         the same set as a method of a class, taking tuples for lists
//                              and Keras variables as arguments
//
// Either registers the types it needs itself, once per extension module, whichever
// is called first. Call with the GIL held.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "pyglue/imports.hpp"

namespace kx {
namespace py = pybind11;

// One parameter of a compiled function: its name and, optionally, its default.
struct Param {
    const char* name;
    py::object default_value = py::object();  // null: no default
};

// The C++ body of a compiled function receives every parameter (`self` first for a method),
// bound and with defaults applied, in declaration order.
using MethodBody = std::function<py::object(const py::tuple& args)>;

namespace detail {

// The callable that tf.function wraps. tf.function inspects its target with
// inspect.signature, which cannot read a pybind11 function, so this object
// carries an inspect.Signature. It is exposed as a property of the type: an
// entry in the instance __dict__ would be copied by TensorFlow onto its
// per-instance bound wrapper, which would then report `self` and stop binding.
struct CompiledBody {
    std::string qualname;
    py::object signature;
    MethodBody body;

    py::object call(const py::args& args, const py::kwargs& kwargs) const {
        py::object bound = signature.attr("bind")(*args, **kwargs);
        bound.attr("apply_defaults")();
        return body(py::tuple(bound.attr("args")));
    }
};

// Registers the pybind11 type of CompiledBody for this extension module, on first use
// (module_local keeps the types of different modules apart). A module given as `scope`
// holds it as `_CompiledBody`.
inline void register_compiled_body(py::handle scope = py::handle()) {
    static bool registered = false;
    if (registered) return;
    // dynamic_attr: instances carry __name__ and __qualname__ in their __dict__
    // (the type's own __name__ cannot be overridden by a property).
    py::class_<CompiledBody>(scope, "_CompiledBody", py::module_local(), py::dynamic_attr())
        .def("__call__", &CompiledBody::call)
        .def_property_readonly("__signature__", [](const CompiledBody& b) { return b.signature; })
        .def("__repr__", [](const CompiledBody& b) { return "<compiled body " + b.qualname + ">"; });
    registered = true;
}

// The type of every function made by compile_method: TensorFlow's Function
// with two conversions of the arguments before the ordinary call.
// - tf.function checks that a value given for a list entry of the input
//   signature is a list, while tf.data datasets yield tuples: a tuple is
//   turned into a list where the signature holds a list.
// - Keras 3 passes its own variables (the optimizer's iteration counter, for
//   one) to schedules; inside a compiled Keras step tf.function cannot take
//   them as arguments, so they are read into tensors first.
// - NumPy arrays (also as members of a list or tuple argument) become tensors
//   of their own dtype first: given to an input signature as they are, they
//   would be cast to the signature's dtype, so a float image batch would wrap
//   around into uint8 instead of being rejected.
// Per-instance bound functions are made with type(original), so they keep
// this behaviour.
inline py::object compiled_function_type(py::module_& m) {
    static py::gil_safe_call_once_and_store<py::object> store;  // one type per extension module
    return store
        .call_once_and_store_result([&m]() -> py::object {
            static Lazy function_type{"tensorflow.python.eager.polymorphic_function.polymorphic_function",
                                      "Function"};
            py::object base = function_type();
            py::dict ns;
            ns["__module__"] = m.attr("__name__");
            ns["__qualname__"] = py::str("CompiledFunction");
            ns["__doc__"] = base.attr("__doc__");
            auto type_type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type));
            py::object cls = type_type(py::str("CompiledFunction"), py::make_tuple(base), ns);
            py::cpp_function call(
                [base](py::object self, py::args args, py::kwargs kwargs) {
                    static Lazy tf_keras{"tensorflow", "keras"};
                    static Lazy ndarray{"numpy", "ndarray"};
                    static Lazy convert_to_tensor{"tensorflow", "convert_to_tensor"};
                    // The Keras that tf.keras is: Keras 3 has its own Variable type; tf-keras
                    // uses tf.Variable, which tf.function takes as it is (and importing Keras 3
                    // into a tf-keras process would only cost time).
                    static py::gil_safe_call_once_and_store<py::object> keras_variable;
                    py::object variable_type =
                        keras_variable
                            .call_once_and_store_result([] { return py::getattr(tf_keras(), "Variable", py::none()); })
                            .get_stored();
                    py::object array_type = ndarray();
                    auto read = [&](py::handle value) -> py::object {
                        if ((!variable_type.is_none() && py::isinstance(value, variable_type)) ||
                            py::isinstance(value, array_type))
                            return convert_to_tensor()(value);
                        return py::reinterpret_borrow<py::object>(value);
                    };
                    py::object signature = self.attr("input_signature");
                    py::tuple entries = signature.is_none() ? py::tuple() : py::tuple(signature);
                    py::list positional;
                    for (std::size_t i = 0; i < args.size(); ++i) {
                        py::object value = read(args[i]);
                        bool wants_list = i < entries.size() && py::isinstance<py::list>(entries[i]);
                        if (py::isinstance<py::list>(value) || py::isinstance<py::tuple>(value)) {
                            py::list members;
                            for (py::handle member : value) members.append(read(member));
                            value = (wants_list || py::isinstance<py::list>(value)) ? py::object(members)
                                                                                    : py::object(py::tuple(members));
                        }
                        positional.append(value);
                    }
                    py::dict named;
                    for (auto item : kwargs) named[item.first] = read(item.second);
                    return base.attr("__call__")(self, *positional, **named);
                },
                py::name("__call__"), py::is_method(cls));
            py::setattr(cls, "__call__", call);
            return cls;
        })
        .get_stored();
}

}  // namespace detail

// tf.function(<body>, **tf_function_kwargs), where the body is a C++ function with the
// given parameters, named by the last part of `qualname` ("Owner.name") and documented by
// `doc` (when not null). autograph defaults to False: there is no Python source to convert.
//
//   kx::compile_function("RateRuns.evaluate", {{"steps"}}, nullptr,
//                        [](const py::tuple& a) { ... a[0] is steps ... }, kwargs);
inline py::object compile_function(const std::string& qualname, const std::vector<Param>& params, const char* doc,
                                   MethodBody body, py::dict tf_function_kwargs = py::dict()) {
    static Lazy inspect_parameter{"inspect", "Parameter"};
    static Lazy inspect_signature{"inspect", "Signature"};
    static Lazy tf_function{"tensorflow", "function"};
    detail::register_compiled_body();

    py::object kind = inspect_parameter().attr("POSITIONAL_OR_KEYWORD");
    py::list parameters;
    for (const Param& p : params) {
        py::dict kw;
        if (p.default_value) kw["default"] = p.default_value;
        parameters.append(inspect_parameter()(py::str(p.name), kind, **kw));
    }
    const std::size_t dot = qualname.rfind('.');
    const std::string name = dot == std::string::npos ? qualname : qualname.substr(dot + 1);
    detail::CompiledBody compiled;
    compiled.qualname = qualname;
    compiled.signature = inspect_signature()(parameters);
    compiled.body = std::move(body);

    if (!tf_function_kwargs.contains("autograph")) tf_function_kwargs["autograph"] = false;
    py::object wrapper = py::cast(std::move(compiled));
    wrapper.attr("__name__") = py::str(name);
    wrapper.attr("__qualname__") = py::str(qualname);
    if (doc != nullptr) wrapper.attr("__doc__") = py::str(doc);
    return tf_function()(wrapper, **tf_function_kwargs);
}

// Sets cls.<name> = compile_function(...) for a C++ method: the first parameter is `self`,
// which takes no entry of an input_signature. Tuples are accepted for list entries of an
// input_signature, and Keras variables as arguments (see compiled_function_type). Returns
// the tf.function object.
//
//   kx::compile_method(m, cls, "train_step", {{"self"}, {"data"}}, kTrainStepDoc,
//                      [](const py::tuple& a) { ... a[0] is self, a[1] is data ... },
//                      kwargs /* e.g. input_signature */);
inline py::object compile_method(py::module_& m, py::handle cls, const char* name, const std::vector<Param>& params,
                                 const char* doc, MethodBody body, py::dict tf_function_kwargs = py::dict()) {
    detail::register_compiled_body(m);
    std::string qualname = py::str(cls.attr("__qualname__")).cast<std::string>() + "." + name;
    py::object function = compile_function(qualname, params, doc, std::move(body), std::move(tf_function_kwargs));
    function.attr("__class__") = detail::compiled_function_type(m);
    py::setattr(cls, name, function);
    return function;
}

}  // namespace kx

// Python glue shared by every extension module of orvane.kestrix.
//
// The modules build ordinary Python classes (often with a Python base such as
// a Keras schedule) from C++. This header holds everything they need for that
// and nothing else:
//
//   kx::Lazy              an imported module attribute, resolved once per process
//   kx::import_modules    module attributes bound at import, as `import x as y` would
//   kx::make_class        type(name, bases, namespace) with __module__/__qualname__/__doc__
//   kx::def_method        a C++ function as a method of such a class
//   kx::def_init          the same for __init__ (see the note there)
//   kx::super_init        super(cls, self).__init__(*args, **kwargs)
//   kx::compile_method    a C++ method compiled by tf.function
//   kx::check_type        the exact-type argument check ("Argument '...' has incorrect type ...")
//   kx::to_double         a float-declared argument converted on entry
//   kx::to_int64/to_size  an integer argument converted on entry, range-checked
//   kx::raise             set a Python exception and throw
//   kx::with_context      a Python `with` block around a C++ lambda
//   kx::print / kx::warn  console output through Python's print and warnings
//
// Everything here must be called with the GIL held. The Lazy cache is safe to
// use from several threads (it is built on pybind11's GIL-safe call-once).
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <limits>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace kx {
namespace py = pybind11;

// ---------------------------------------------------------------- errors

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

// ---------------------------------------------------------------- imports

// A module, or an attribute path inside one, imported on first use and kept
// for the life of the process. Declare instances `static` (they cannot move):
//
//   static kx::Lazy tf_cast{"tensorflow", "cast"};
//   tf_cast()(x, dtype);
class Lazy {
public:
    explicit Lazy(const char* module, const char* attr_path = nullptr)
        : module_(module), attr_path_(attr_path) {}
    Lazy(const Lazy&) = delete;
    Lazy& operator=(const Lazy&) = delete;

    py::object operator()() {
        return store_.call_once_and_store_result([this] { return resolve(); }).get_stored();
    }

private:
    py::object resolve() const {
        py::object obj = py::module_::import(module_);
        if (attr_path_ == nullptr) return obj;
        std::string path(attr_path_);
        std::size_t start = 0;
        while (start <= path.size()) {
            std::size_t dot = path.find('.', start);
            if (dot == std::string::npos) dot = path.size();
            obj = obj.attr(path.substr(start, dot - start).c_str());
            start = dot + 1;
        }
        return obj;
    }

    const char* module_;
    const char* attr_path_;
    py::gil_safe_call_once_and_store<py::object> store_;
};

// Binds modules as attributes of `m` in the given order, as a module's own
// import statements would: {{"np", "numpy"}, {"d", "datetime"}}. A failing
// import fails the import of `m`.
inline void import_modules(py::module_& m, std::initializer_list<std::pair<const char*, const char*>> imports) {
    for (const auto& [alias, module] : imports) m.attr(alias) = py::module_::import(module);
}

// ---------------------------------------------------------------- console

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

// ---------------------------------------------------------------- classes

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

// ---------------------------------------------------------------- with blocks

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

// ---------------------------------------------------------------- tf.function

// One parameter of a compiled method: its name and, optionally, its default.
struct Param {
    const char* name;
    py::object default_value = py::object();  // null: no default
};

// The C++ body of a compiled method receives every parameter, `self` first,
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

inline void register_compiled_body(py::module_& m) {
    // One registration per extension module (module_local keeps the types of
    // different modules apart); module initialisation runs under the GIL.
    static bool registered = false;
    if (registered) return;
    // dynamic_attr: instances carry __name__ and __qualname__ in their __dict__
    // (the type's own __name__ cannot be overridden by a property).
    py::class_<CompiledBody>(m, "_CompiledBody", py::module_local(), py::dynamic_attr())
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
                    static Lazy keras_variable{"keras", "Variable"};
                    static Lazy ndarray{"numpy", "ndarray"};
                    static Lazy convert_to_tensor{"tensorflow", "convert_to_tensor"};
                    py::object variable_type = keras_variable();
                    py::object array_type = ndarray();
                    auto read = [&](py::handle value) -> py::object {
                        if (py::isinstance(value, variable_type) || py::isinstance(value, array_type))
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

// Sets cls.<name> = tf.function(<body>, **tf_function_kwargs), where the body
// is a C++ method with the given parameters (the first one is `self`, which
// takes no entry of an input_signature) and docstring. autograph defaults to
// False: there is no Python source to convert. Tuples are accepted for list
// entries of an input_signature, and Keras variables as arguments (see
// compiled_function_type). Returns the tf.function object.
//
//   kx::compile_method(m, cls, "train_step", {{"self"}, {"data"}}, kTrainStepDoc,
//                      [](const py::tuple& a) { ... a[0] is self, a[1] is data ... },
//                      kwargs /* e.g. input_signature */);
inline py::object compile_method(py::module_& m, py::handle cls, const char* name, const std::vector<Param>& params,
                                 const char* doc, MethodBody body, py::dict tf_function_kwargs = py::dict()) {
    static Lazy inspect_parameter{"inspect", "Parameter"};
    static Lazy inspect_signature{"inspect", "Signature"};
    static Lazy tf_function{"tensorflow", "function"};
    detail::register_compiled_body(m);

    py::object kind = inspect_parameter().attr("POSITIONAL_OR_KEYWORD");
    py::list parameters;
    for (const Param& p : params) {
        py::dict kw;
        if (p.default_value) kw["default"] = p.default_value;
        parameters.append(inspect_parameter()(py::str(p.name), kind, **kw));
    }
    std::string qualname = py::str(cls.attr("__qualname__")).cast<std::string>() + "." + name;
    detail::CompiledBody compiled;
    compiled.qualname = qualname;
    compiled.signature = inspect_signature()(parameters);
    compiled.body = std::move(body);

    if (!tf_function_kwargs.contains("autograph")) tf_function_kwargs["autograph"] = false;
    py::object wrapper = py::cast(std::move(compiled));
    wrapper.attr("__name__") = py::str(name);
    wrapper.attr("__qualname__") = py::str(qualname);
    wrapper.attr("__doc__") = py::str(doc);
    py::object function = tf_function()(wrapper, **tf_function_kwargs);
    function.attr("__class__") = detail::compiled_function_type(m);
    py::setattr(cls, name, function);
    return function;
}

}  // namespace kx

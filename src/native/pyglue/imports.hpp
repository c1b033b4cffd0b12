// Modules and attributes imported from C++, as a module's own import statements would.
//
//   kx::Lazy              an imported module attribute, resolved once per process
//   kx::import_modules    module attributes bound at import, as `import x as y` would
//
// Call with the GIL held. A Lazy is safe to use from several threads (it is built on
// pybind11's GIL-safe call-once).
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <initializer_list>
#include <string>
#include <utility>

namespace kx {
namespace py = pybind11;

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

}  // namespace kx

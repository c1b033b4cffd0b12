// Python glue shared by every extension module of orvane.kestrix: one include for all of
// it. The modules build ordinary Python classes (often with a Python base such as a Keras
// schedule) from C++; each header below holds one concern of that:
//
//   pyglue/errors.hpp        kx::raise, the argument type error, and the translation of the
//                            native library's errors (kx::register_native_errors, one line
//                            in every PYBIND11_MODULE)
//   pyglue/imports.hpp       kx::Lazy (an attribute imported once), kx::import_modules
//   pyglue/arguments.hpp     exact-type checks and conversions on entry (kx::check_type,
//                            kx::to_double, kx::to_int64, kx::to_size, kx::check_image)
//   pyglue/classes.hpp       kx::make_class, kx::def_method, kx::def_init, kx::super_init
//   pyglue/compiled.hpp      tf.function of C++ code (kx::compile_function, kx::compile_method)
//   pyglue/with_context.hpp  a Python `with` block around C++ code (kx::with_context)
//   pyglue/console.hpp       kx::print and kx::warn, through Python's print and warnings;
//                            kx::bar_progress, a tqdm bar moved by native work
//
// Everything here must be called with the GIL held.
#pragma once

#include "pyglue/arguments.hpp"
#include "pyglue/classes.hpp"
#include "pyglue/compiled.hpp"
#include "pyglue/console.hpp"
#include "pyglue/errors.hpp"
#include "pyglue/imports.hpp"
#include "pyglue/with_context.hpp"

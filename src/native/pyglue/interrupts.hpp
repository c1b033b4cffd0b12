// Ctrl-C held back around work that must not stop half-way (swapping a model's weights, say):
// Python raises KeyboardInterrupt wherever the main thread happens to be when the signal
// arrives, and a sequence of Python calls stopped in the middle leaves a state that is neither
// the one before nor the one after.
//
//   kx::InterruptsHeld    while alive, a Ctrl-C is noted instead of raised; release() hands a
//                         noted one to the handler it held back (KeyboardInterrupt by default)
//
// Only the main thread receives Python's signal handlers, and only a handler that is a Python
// callable (the default one or the caller's own) is held: elsewhere, and where SIGINT is ignored
// or left to the operating system, nothing changes. Call with the GIL held.
#pragma once

#include <pybind11/pybind11.h>

#include <memory>

#include "pyglue/imports.hpp"

namespace kx {
namespace py = pybind11;

class InterruptsHeld {
public:
    // Never raises a KeyboardInterrupt: one pending when the hold begins is noted like the rest.
    // `notice`, when given, is written to stderr at the first Ctrl-C held (say what will happen).
    explicit InterruptsHeld(const char* notice = nullptr) {
        static Lazy threading{"threading"};
        static Lazy signal_module{"signal"};
        py::object threads = threading();
        if (!threads.attr("current_thread")().is(threads.attr("main_thread")())) return;
        signal_ = signal_module();
        number_ = signal_.attr("SIGINT");
        previous_ = signal_.attr("getsignal")(number_);
        if (!PyCallable_Check(previous_.ptr())) return;
        auto noted = noted_;
        py::cpp_function note([noted, notice](py::args) {
            if (notice != nullptr && !*noted) {
                try {
                    py::object stream = py::module_::import("sys").attr("stderr");
                    stream.attr("write")(py::str(notice) + py::str("\n"));
                    stream.attr("flush")();
                } catch (py::error_already_set&) {
                    // no stderr to tell: the Ctrl-C is held all the same
                }
            }
            *noted = true;
        });
        // signal.signal runs the handlers of signals already pending before it changes the
        // handler; a Ctrl-C that arrived just before the hold raises there, and is held too.
        for (;;) {
            try {
                signal_.attr("signal")(number_, note);
                installed_ = true;
                return;
            } catch (py::error_already_set& e) {
                if (!e.matches(PyExc_KeyboardInterrupt)) throw;
                *noted_ = true;
            }
        }
    }

    // Without release() (an exception is already on its way out), a noted Ctrl-C is dropped:
    // the caller is stopping anyway.
    ~InterruptsHeld() {
        try {
            put_back();
        } catch (py::error_already_set& e) {
            e.discard_as_unraisable("restoring the Ctrl-C handler");
        }
    }

    InterruptsHeld(const InterruptsHeld&) = delete;
    InterruptsHeld& operator=(const InterruptsHeld&) = delete;

    // Whether a Ctrl-C arrived during the hold so far.
    bool noted() const { return *noted_; }

    // Ends the hold: the held-back handler is back, and a Ctrl-C noted during the hold goes to it
    // now (under Python's default handler, KeyboardInterrupt is raised here).
    void release() {
        put_back();
        if (*noted_ && PyCallable_Check(previous_.ptr())) {
            *noted_ = false;
            previous_(number_, py::none());
        }
    }

private:
    void put_back() {
        if (!installed_) return;
        installed_ = false;
        // Handlers still pending run first, and are noted.
        signal_.attr("signal")(number_, previous_);
    }

    std::shared_ptr<bool> noted_ = std::make_shared<bool>(false);
    py::object signal_, number_, previous_;
    bool installed_ = false;
};

}  // namespace kx

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
//
// A hold is entered at every training step, so it uses `_signal`, the built-in module under
// `signal`: the same functions without the enum conversions, which cost ten times as much.
#pragma once

#include <pybind11/pybind11.h>


#include "pyglue/imports.hpp"

namespace kx {
namespace py = pybind11;

namespace detail {

// What the installed handler keeps: the Ctrl-Cs received so far (only the main thread runs
// Python's signal handlers, so one count serves every hold, nested ones included), and the
// notice to write at the next one.
struct HeldInterrupts {
    unsigned long count = 0;
    const char* notice = nullptr;
};

inline HeldInterrupts& held_interrupts() {
    static HeldInterrupts state;  // touched with the GIL held only
    return state;
}

// The handler every hold installs, made once: a hold is entered at every training step.
inline py::object hold_handler() {
    static py::gil_safe_call_once_and_store<py::object> store;
    return store
        .call_once_and_store_result([] {
            return py::cpp_function([](py::args) {
                HeldInterrupts& state = held_interrupts();
                ++state.count;
                if (state.notice == nullptr) return;
                const char* notice = state.notice;
                state.notice = nullptr;  // once per hold
                try {
                    py::object stream = py::module_::import("sys").attr("stderr");
                    stream.attr("write")(py::str(notice) + py::str("\n"));
                    stream.attr("flush")();
                } catch (py::error_already_set&) {
                    // no stderr to tell: the Ctrl-C is held all the same
                }
            });
        })
        .get_stored();
}

inline bool on_main_thread() {
    static py::gil_safe_call_once_and_store<unsigned long> store;
    const unsigned long main = store
                                   .call_once_and_store_result([] {
                                       return py::module_::import("threading")
                                           .attr("main_thread")()
                                           .attr("ident")
                                           .cast<unsigned long>();
                                   })
                                   .get_stored();
    return PyThread_get_thread_ident() == main;
}

}  // namespace detail

class InterruptsHeld {
public:
    // Never raises a KeyboardInterrupt: one pending when the hold begins is noted like the rest.
    // `notice`, when given, is written to stderr at the first Ctrl-C held (say what will happen).
    explicit InterruptsHeld(const char* notice = nullptr) {
        static Lazy getsignal{"_signal", "getsignal"};
        if (!detail::on_main_thread()) return;
        previous_ = getsignal()(sigint_number());
        if (!PyCallable_Check(previous_.ptr())) return;
        detail::HeldInterrupts& state = detail::held_interrupts();
        start_ = state.count;
        outer_notice_ = state.notice;
        if (notice != nullptr) state.notice = notice;
        // signal.signal runs the handlers of signals already pending before it changes the
        // handler; a Ctrl-C that arrived just before the hold raises there, and is held too.
        for (;;) {
            try {
                set_handler(detail::hold_handler());
                installed_ = true;
                return;
            } catch (py::error_already_set& e) {
                if (!e.matches(PyExc_KeyboardInterrupt)) {
                    state.notice = outer_notice_;
                    throw;
                }
                ++state.count;
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
    bool noted() const { return installed_ && detail::held_interrupts().count != start_; }

    // Ends the hold: the held-back handler is back, and a Ctrl-C noted during the hold goes to it
    // now (under Python's default handler, KeyboardInterrupt is raised here; under an enclosing
    // hold, that hold notes it).
    void release() {
        const bool was_installed = installed_;
        put_back();
        if (was_installed && detail::held_interrupts().count != start_) previous_(sigint_number(), py::none());
    }

private:
    static py::object sigint_number() {
        static Lazy sigint{"_signal", "SIGINT"};
        return sigint();
    }

    static void set_handler(py::handle handler) {
        static Lazy signal_signal{"_signal", "signal"};
        signal_signal()(sigint_number(), handler);
    }

    void put_back() {
        if (!installed_) return;
        // Handlers still pending run first, and are noted.
        set_handler(previous_);
        installed_ = false;
        detail::held_interrupts().notice = outer_notice_;
    }

    py::object previous_;
    unsigned long start_ = 0;
    const char* outer_notice_ = nullptr;
    bool installed_ = false;
};

}  // namespace kx

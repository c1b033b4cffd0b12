// The resumable training state of a run: with `keep_state` the trainer writes, after every
// epoch, its whole training state (model and optimizer variables, epoch, best value, summary
// rows, logger step) through a tf.train.CheckpointManager into <run>/state, after last.h5,
// best.h5 and summary.csv. The manager's index file is replaced atomically, so the state is
// the commit point of an epoch; a trainer resumed from it rewrites last.h5 and summary.csv
// from the state, so a process killed between the files and the state leaves nothing that
// disagrees with it.
#include <pybind11/pybind11.h>

#include "detection_internal.hpp"
#include "pyglue/atomic_file.hpp"

namespace kx::trainer {

using files::os_path;

namespace {

kx::Lazy tf_checkpoint{"tensorflow", "train.Checkpoint"};
kx::Lazy checkpoint_manager{"tensorflow", "train.CheckpointManager"};
kx::Lazy checkpoint_state{"tensorflow", "train.get_checkpoint_state"};
kx::Lazy tf_variable{"tensorflow", "Variable"};
kx::Lazy tempfile_mkdtemp{"tempfile", "mkdtemp"};
kx::Lazy shutil_rmtree{"shutil", "rmtree"};

// Keras 3 optimizers say `built`, tf-keras ones `_built`.
bool optimizer_built(const py::object& optimizer) {
    py::object built = py::getattr(optimizer, "built", py::none());
    if (built.is_none()) built = py::getattr(optimizer, "_built", py::bool_(false));
    return py::bool_(built);
}


py::object state_folder(const py::object& run_folder) { return os_path("join")(run_folder, "state"); }

// The tf.train.Checkpoint of everything a resumed run needs (self._state) and, on the chief,
// the manager that writes it into <run>/state (self._state_manager).
void make_state(const py::object& self, bool chief) {
    py::object tf = tf_module();
    auto variable = [&](py::object value, const char* dtype) {
        return tf_variable()(value, py::arg("dtype") = tf.attr(dtype), py::arg("trainable") = false);
    };
    py::dict parts;
    parts["model"] = self.attr("model");
    parts["optimizer"] = self.attr("optimizer");
    parts["epoch"] = variable(py::int_(0), "int64");
    parts["best_value"] = variable(py::float_(0.0), "float64");
    parts["summary_rows"] = variable(py::str("[]"), "string");
    parts["global_step"] = variable(py::int_(0), "int64");
    add_average_to_state(self, parts);
    py::object state = tf_checkpoint()(**parts);
    self.attr("_state") = state;
    self.attr("_state_manager") =
        chief ? checkpoint_manager()(state, state_folder(self.attr("checkpoint")), py::arg("max_to_keep") = 2)
              : py::none();
}

// Restores the state `latest` into the trainer: the model's and optimizer's variables (the
// optimizer is built first, so its slots and step counter exist to receive their values),
// best_value, summary_rows, last_epoch and the logger's step.
void restore_state(const py::object& self, const py::object& latest) {
    build_optimizer(self);
    py::object state = self.attr("_state");
    // Partial: a state written before the first step holds no optimizer slots yet.
    state.attr("restore")(latest).attr("expect_partial")();
    self.attr("best_value") = py::float_(state.attr("best_value").attr("numpy")());
    py::object text = state.attr("summary_rows").attr("numpy")().attr("decode")("utf-8");
    self.attr("summary_rows") = json_module().attr("loads")(text);
    self.attr("last_epoch") = py::int_(state.attr("epoch").attr("numpy")());
    self.attr("logger").attr("global_step") = py::int_(state.attr("global_step").attr("numpy")());
}

}  // namespace

void build_optimizer(const py::object& self) {
    py::object optimizer = self.attr("optimizer");
    // The legacy optimizers have no build: they make their slots at their first update (and a
    // restore fills them in then).
    if (optimizer_built(optimizer) || !py::hasattr(optimizer, "build")) return;
    py::object strategy = strategy_of(self.attr("model"));
    py::object variables = self.attr("model").attr("trainable_variables");
    if (strategy.is_none()) {
        optimizer.attr("build")(variables);
    } else {
        kx::with_context(strategy.attr("scope")(), [&] { optimizer.attr("build")(variables); });
    }
}

// The chief saves through the manager, whose index file names the new state only once it is
// complete; the other workers of a cluster take part in the save, as collective variables may
// need them to, into a temporary folder that is removed at once.
void write_state(const py::object& self, const py::object& epoch) {
    py::object state = py::getattr(self, "_state", py::none());
    if (state.is_none()) return;
    state.attr("epoch").attr("assign")(epoch);
    state.attr("best_value").attr("assign")(self.attr("best_value"));
    state.attr("summary_rows").attr("assign")(json_module().attr("dumps")(self.attr("summary_rows")));
    state.attr("global_step").attr("assign")(self.attr("logger").attr("global_step"));
    py::object manager = self.attr("_state_manager");
    if (!manager.is_none()) {
        manager.attr("save")(py::arg("checkpoint_number") = epoch);
    } else {
        py::object scratch = tempfile_mkdtemp()(py::arg("prefix") = "kestrix-worker-state-");
        try {
            state.attr("write")(os_path("join")(scratch, "state"));
        } catch (py::error_already_set&) {
            shutil_rmtree()(scratch, py::arg("ignore_errors") = true);
            throw;
        }
        shutil_rmtree()(scratch, py::arg("ignore_errors") = true);
    }
    self.attr("last_epoch") = epoch;
}

// The states the manager of `folder` lists whose index files exist, newest first.
py::list complete_states(const py::object& folder) {
    py::object states = state_folder(folder);
    py::list found;
    if (!py::bool_(os_path("isdir")(states))) return found;
    py::object listed = checkpoint_state()(states);
    if (listed.is_none()) return found;
    py::list paths(listed.attr("all_model_checkpoint_paths"));
    for (std::size_t i = paths.size(); i-- > 0;)
        if (py::bool_(os_path("exists")(py::object(paths[i]) + py::str(".index")))) found.append(paths[i]);
    return found;
}

py::object complete_state(const py::object& folder) {
    py::list found = complete_states(folder);
    if (found.empty()) {
        py::object states = state_folder(folder);
        kx::raise(PyExc_FileNotFoundError,
                  py::str("cannot resume {}: it holds no complete training state ({} has no state written after "
                          "an epoch; only runs trained with keep_state=True, as kestrix train does, can be resumed)")
                      .format(folder, states)
                      .cast<std::string>());
    }
    return found[0];
}

namespace {

// Restores the newest state of `run_folder` that restores: a newest state whose files were
// damaged after it was written (a truncated copy, a full disk) gives way to the older one the
// manager keeps, with a notice; when none restores, a ValueError names the newest and why.
void restore_newest_sound_state(const py::object& self, const py::object& run_folder) {
    py::list states = complete_states(run_folder);
    std::string damaged;
    for (std::size_t i = 0; i < states.size(); ++i) {
        try {
            restore_state(self, states[i]);
        } catch (py::error_already_set& err) {
            if (!err.matches(PyExc_Exception)) throw;
            if (damaged.empty()) {
                py::list lines = py::str(err.value()).attr("splitlines")();
                damaged = lines.empty() ? std::string(py::str(err.type().attr("__name__")))
                                        : std::string(py::str(lines[0]));
            }
            if (i + 1 < states.size()) continue;
            kx::raise(PyExc_ValueError, py::str("cannot resume {}: its training state {} does not restore ({}), and no "
                                                "older complete state does")
                                            .format(run_folder, states[0], damaged)
                                            .cast<std::string>());
        }
        if (i > 0)
            kx::print(py::str("\n \t - [WARNING] The newest training state {} does not restore ({}); resuming from the "
                              "older {} \n")
                          .format(states[0], damaged, states[i]));
        return;
    }
}

}  // namespace

// Runs on every worker of a cluster (the workers take part in each save), after the chief's
// files exist.
void init_state(const py::object& self, const py::object& keep_state, const py::object& resume) {
    if (resume.is_none() && !py::bool_(keep_state)) return;
    const bool chief = is_chief(strategy_of(self.attr("model")));
    make_state(self, chief);
    self.attr("last_epoch") = py::int_(0);
    if (resume.is_none()) return;
    self.attr("resumed") = py::bool_(true);
    complete_state(resume);  // none at all: FileNotFoundError
    restore_newest_sound_state(self, resume);
    if (!chief) return;
    // A process killed after writing an epoch's files but before its state leaves last.h5 and
    // summary.csv one epoch ahead of the state: make them the state's again.
    save_atomically(export_model(self), self.attr("last"));
    if (py::len(self.attr("summary_rows")) > 0) write_summary(self);
    kx::print(py::str("\n \t - Resuming {} after epoch {} \n").format(resume, self.attr("last_epoch")));
}

}  // namespace kx::trainer

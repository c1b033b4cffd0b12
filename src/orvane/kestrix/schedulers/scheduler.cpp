// orvane.kestrix.schedulers.scheduler: the warm-up, hold and cosine-decay
// learning-rate schedule, a Keras LearningRateSchedule built from C++.
//
// Every method but the constructor is a class-level tf.function, so the rate
// is computed by a traced graph both when called eagerly and from inside an
// optimizer's compiled train step. The candidates of the last evaluation are
// kept in two float32 tf.Variables created by the constructor (never inside a
// trace): a Python attribute assigned during tracing would keep a symbolic
// tensor of a graph that has already been finalised.
//
// Thread-safety: one schedule is evaluated by one optimizer on the caller's
// thread; concurrent evaluations would race on the candidate variables (the
// rate returned by each call is unaffected).
#include <limits>

#include "pyglue/glue.hpp"

namespace {

namespace py = pybind11;

constexpr const char* kClassDoc = R"doc(Linear warm-up, optional hold, then cosine decay to 0.

A ``LearningRateSchedule`` for a Keras optimizer. The rate rises linearly from
0 to ``target_lr`` during ``warmup_steps`` steps, stays at ``target_lr`` for
``hold`` steps, then follows a half cosine down to 0 at ``total_steps``; every
later step gets ``start_lr``. All arithmetic is float32; the result is a
float32 scalar named ``learning_rate``.

The rate for step ``s`` (w = warmup_steps, h = hold, T = total_steps,
t = target_lr) is computed as:

```python
def warmup_learning_rate(s):
    return t * (s / w)                # s < w; 0 at s = 0

def decayed_learning_rate(s):
    progress = (s - w - h) / (T - w - h)
    if T - w - h == 0:                # a decay of zero length
        progress = 1.0                # is complete: cos(pi) = -1
    lr = 0.5 * t * (1.0 + cos(pi * progress))
    if h > 0 and s <= w + h:
        lr = t                        # hold, including s = w + h
    return lr

def learning_rate(s):
    if s > T:
        return start_lr
    return warmup_learning_rate(s) if s < w else decayed_learning_rate(s)
```

Resulting shape, with w > 0, h > 0 and T > w + h:

- ``s < w``: ``t * s / w``
- ``w <= s <= w + h``: ``t``
- ``w + h < s <= T``: ``0.5 * t * (1 + cos(pi * (s - w - h) / (T - w - h)))``,
  reaching 0 at ``s = T``
- ``s > T``: ``start_lr``

With ``hold`` 0 the cosine starts at ``t`` at step ``w``. With
``warmup_steps`` 0 there is no ramp: the first step already gets the hold or
cosine rate.

When ``total_steps == warmup_steps + hold`` the decay has no length; it is
taken as already complete, so the rate at step ``total_steps`` is 0 when
``hold`` is 0 (the end of a schedule is always 0, and a rate of 0 there is
harmless, where dividing 0 by 0 would feed NaN into the weights) and
``target_lr`` when ``hold`` > 0 (the hold includes its last step). Every step
therefore gets a finite rate.

The schedule serialises through ``get_config``/``from_config``; a model saved
with an optimizer using it loads with
``custom_objects={"WarmUpCosineDecay": WarmUpCosineDecay}``.

Example:

```python
schedule = WarmUpCosineDecay(start_lr=0.0, target_lr=1e-3,
                             warmup_steps=500, total_steps=10000, hold=200)
optimizer = tf.keras.optimizers.SGD(learning_rate=schedule)
```
)doc";

constexpr const char* kInitDoc = R"doc(Creates the schedule from its five settings (all required).

Args:
    start_lr (float): rate returned for every step beyond ``total_steps``.
    target_lr (float): peak rate: the end of the warm-up ramp, the hold value
        and the start of the cosine.
    warmup_steps (int): number of steps of the linear warm-up.
    total_steps (int): number of training steps; the cosine reaches 0 here.
    hold (int): number of steps to stay at ``target_lr`` after the warm-up.

Raises:
    TypeError: a setting is not convertible to float (nothing is stored
        then), or an argument is missing or extra.
    ValueError: a setting is NaN, infinite or negative, ``total_steps`` is
        not positive, or ``warmup_steps + hold`` exceed ``total_steps``.
)doc";

constexpr const char* kGetWarmupDoc = R"doc(The warm-up candidate of the last evaluation.

Returns:
    float32 scalar tensor: ``target_lr * step / warmup_steps`` for the last
    evaluated step (0 with ``warmup_steps`` 0), or 0 before any evaluation.
)doc";

constexpr const char* kGetLearningRateDoc = R"doc(The decay candidate of the last evaluation.

Returns:
    float32 scalar tensor: the cosine rate, with the hold applied, for the
    last evaluated step, before the choice between warm-up and decay (so it
    holds this candidate even during the warm-up), or 0 before any
    evaluation.
)doc";

constexpr const char* kComputeDoc = R"doc(Computes the rate for one step and records both candidates.

Args:
    global_step (float32 tensor): the step.
    warmup_steps (float32 tensor): number of warm-up steps.
    hold (int): number of hold steps; the hold applies only if ``hold > 0``.
    total_steps (int): step at which the cosine reaches 0.
    start_lr (float): accepted for symmetry with the constructor; unused here.
    target_lr (float): peak rate.

Returns:
    float32 scalar tensor: the warm-up candidate while ``global_step <
    warmup_steps``, the cosine/hold candidate otherwise. Steps beyond
    ``total_steps`` are not special here (``__call__`` handles them).
)doc";

constexpr const char* kCallDoc = R"doc(The rate for ``step``; called by the optimizer with its iteration count.

Args:
    step (tensor): the global step (any integer or float dtype).

Returns:
    float32 scalar tensor named ``learning_rate``: ``start_lr`` when
    ``step > total_steps``, else the warm-up/hold/cosine rate.
)doc";

constexpr const char* kGetConfigDoc = R"doc(The five settings, for serialisation.

Returns:
    dict: ``start_lr``, ``target_lr``, ``warmup_steps``, ``total_steps`` and
    ``hold``; ``WarmUpCosineDecay.from_config`` (``cls(**config)``) rebuilds
    an equivalent schedule.
)doc";

constexpr const char* kModuleDoc = "Warm-up, hold and cosine-decay learning-rate schedule.";

// Setting names in constructor order; get_config emits them in this order.
constexpr const char* kSettings[] = {"start_lr", "target_lr", "warmup_steps", "total_steps", "hold"};

// a <op> b with Python semantics, keeping the result object (a tensor
// comparison yields a boolean tensor, not a Python bool).
py::object compare(py::handle a, py::handle b, int op) {
    PyObject* result = PyObject_RichCompare(a.ptr(), b.ptr(), op);
    if (result == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(result);
}

py::object tf_float32() {
    static kx::Lazy float32{"tensorflow", "float32"};
    return float32();
}

py::object cast_f32(py::handle value) {
    static kx::Lazy tf_cast{"tensorflow", "cast"};
    return tf_cast()(value, tf_float32());
}

py::object tf_where(py::handle condition, py::handle x, py::handle y) {
    static kx::Lazy where{"tensorflow", "where"};
    return where()(condition, x, y);
}

// Both candidate variables are created here, eagerly, with the constructor:
// variables cannot be created on a later call of a tf.function.
// ONLY_FIRST_REPLICA lets a replica context of a distribution strategy
// assign them; elsewhere the aggregation has no effect.
py::object candidate_variable(const char* name) {
    static kx::Lazy tf_variable{"tensorflow", "Variable"};
    static kx::Lazy only_first{"tensorflow", "VariableAggregation.ONLY_FIRST_REPLICA"};
    static kx::Lazy init_scope{"tensorflow", "init_scope"};
    return kx::with_context(init_scope()(), [&] {
        py::dict kw;
        kw["dtype"] = tf_float32();
        kw["trainable"] = false;
        kw["name"] = name;
        kw["aggregation"] = only_first();
        return tf_variable()(py::float_(0.0), **kw);
    });
}

// `cls` is the class defining this constructor (super() needs it, not the
// instance's possibly derived type).
void init(py::handle cls, py::object self, py::object start_lr, py::object target_lr, py::object warmup_steps,
          py::object total_steps, py::object hold) {
    // Conversions and checks come first so that a bad value leaves nothing behind. A NaN,
    // negative or infinite setting, an empty run or a warm-up and hold longer than the run
    // would give a schedule that silently never trains as asked (a peak never reached).
    double start = kx::to_finite(start_lr, "start_lr", 0.0);
    double target = kx::to_finite(target_lr, "target_lr", 0.0);
    const double warmup = kx::to_finite(warmup_steps, "warmup_steps", 0.0);
    const double total = kx::to_finite(total_steps, "total_steps", 0.0, std::numeric_limits<double>::max(), true);
    const double held = kx::to_finite(hold, "hold", 0.0);
    if (warmup + held > total)
        kx::raise(PyExc_ValueError, "warmup_steps + hold (" + py::str(py::float_(warmup + held)).cast<std::string>() +
                                        ") exceed total_steps (" + py::str(py::float_(total)).cast<std::string>() +
                                        "): the rate would not reach target_lr within the run");
    kx::super_init(cls, self);
    self.attr("start_lr") = py::float_(start);
    self.attr("target_lr") = py::float_(target);
    self.attr("warmup_steps") = warmup_steps;
    self.attr("total_steps") = total_steps;
    self.attr("hold") = hold;
    self.attr("_warmup_lr") = candidate_variable("warmup_lr");
    self.attr("_learning_rate") = candidate_variable("learning_rate");
}

py::object lr_warmup_cosine_decay(const py::tuple& a) {
    static kx::Lazy tf_constant{"tensorflow", "constant"};
    static kx::Lazy tf_cos{"tensorflow", "cos"};
    static kx::Lazy tf_equal{"tensorflow", "equal"};
    static kx::Lazy np_pi{"numpy", "pi"};
    py::object self = a[0], g = a[1], w = a[2], h = a[3], total = a[4], t = a[6];
    // a[5] is start_lr: accepted, unused.

    // Cosine candidate, in this order: 0.5 * t; pi * (g - w - h); divided by
    // (T - w - h); cos; 1 + cos; the product of the two halves.
    py::object half = py::float_(0.5) * cast_f32(t);
    py::object pi = tf_constant()(np_pi());
    py::object numerator = pi * (cast_f32(g) - cast_f32(w) - cast_f32(h));
    py::object denominator = cast_f32(total) - cast_f32(w) - cast_f32(h);
    // A decay of zero length is complete at once: its progress is 1, i.e.
    // the angle is pi. The safe denominator keeps 0/0 out of the graph.
    py::object empty = tf_equal()(denominator, py::float_(0.0));
    py::object angle = tf_where(empty, pi, numerator / tf_where(empty, py::float_(1.0), denominator));
    py::object learning_rate = half * (py::float_(1.0) + tf_cos()(angle));

    // Warm-up candidate t * (g / w). Without a warm-up (w == 0) it is never
    // selected; it is recorded as 0 rather than the inf/NaN of g / 0.
    static kx::Lazy divide_no_nan{"tensorflow", "math.divide_no_nan"};
    py::object warmup_lr = t * divide_no_nan()(g, w);

    // The hold is decided when tracing, from the plain `hold` setting.
    int has_hold = PyObject_IsTrue(compare(h, py::int_(0), Py_GT).ptr());
    if (has_hold < 0) throw py::error_already_set();
    if (has_hold == 1)
        learning_rate = tf_where(compare(g, w + h, Py_GT), learning_rate, t);

    self.attr("_warmup_lr").attr("assign")(warmup_lr);
    self.attr("_learning_rate").attr("assign")(learning_rate);
    return tf_where(compare(g, w, Py_LT), warmup_lr, learning_rate);
}

py::object call(const py::tuple& a) {
    static kx::Lazy where{"tensorflow", "where"};
    py::object self = a[0], step = a[1];
    py::dict kw;
    kw["global_step"] = cast_f32(step);
    kw["total_steps"] = self.attr("total_steps");
    kw["warmup_steps"] = cast_f32(self.attr("warmup_steps"));
    kw["start_lr"] = self.attr("start_lr");
    kw["target_lr"] = self.attr("target_lr");
    kw["hold"] = self.attr("hold");
    py::object lr = self.attr("lr_warmup_cosine_decay")(**kw);
    // The bound compares the step as given (no float32 rounding of large
    // iteration counts) and is strict: step total_steps still decays.
    return where()(compare(step, self.attr("total_steps"), Py_GT), self.attr("start_lr"), lr,
                   py::arg("name") = "learning_rate");
}

py::object get_config(py::object self) {
    py::dict config;
    for (const char* name : kSettings) config[name] = self.attr(name);
    return std::move(config);
}

}  // namespace

PYBIND11_MODULE(scheduler, m) {
    kx::register_native_errors(m);
    static kx::Lazy schedule_base{"tensorflow", "keras.optimizers.schedules.LearningRateSchedule"};
    m.doc() = kModuleDoc;
    kx::import_modules(m, {{"tf", "tensorflow"}, {"np", "numpy"}});
    py::object cls = kx::make_class(m, "WarmUpCosineDecay", schedule_base(), kClassDoc);

    py::handle defining_class = cls;  // the module keeps the class alive
    kx::def_init(
        cls,
        [defining_class](py::object self, py::object start_lr, py::object target_lr, py::object warmup_steps,
                         py::object total_steps, py::object hold) {
            init(defining_class, std::move(self), std::move(start_lr), std::move(target_lr),
                 std::move(warmup_steps), std::move(total_steps), std::move(hold));
        },
        kInitDoc, py::arg("start_lr"), py::arg("target_lr"), py::arg("warmup_steps"),
                 py::arg("total_steps"), py::arg("hold"));
    kx::def_method(cls, "get_config", &get_config, kGetConfigDoc);

    kx::compile_method(m, cls, "get_warmup", {{"self"}}, kGetWarmupDoc, [](const py::tuple& a) -> py::object {
        static kx::Lazy identity{"tensorflow", "identity"};
        return identity()(a[0].attr("_warmup_lr"));
    });
    kx::compile_method(m, cls, "get_learning_rate", {{"self"}}, kGetLearningRateDoc,
                       [](const py::tuple& a) -> py::object {
                           static kx::Lazy identity{"tensorflow", "identity"};
                           return identity()(a[0].attr("_learning_rate"));
                       });
    // Keras 3 passes its iteration counter, a keras.Variable, as the step; the
    // compiled methods read such arguments into tensors (see kx::compile_method),
    // so one trace serves every step.
    kx::compile_method(m, cls, "lr_warmup_cosine_decay",
                       {{"self"},
                        {"global_step"},
                        {"warmup_steps"},
                        {"hold", py::int_(0)},
                        {"total_steps", py::int_(0)},
                        {"start_lr", py::float_(0.0)},
                        {"target_lr", py::float_(1e-3)}},
                       kComputeDoc, &lr_warmup_cosine_decay);
    kx::compile_method(m, cls, "__call__", {{"self"}, {"step"}}, kCallDoc, &call);
}

// Part of orvane.kestrix.datasets.tfrecord: the check of a TFRecord dataset
// without training (check_dataset), and the rule that tells which reader a
// descriptor dictionary is meant for (dataset_type).
//
// The check reads every shard of both splits: the framing and both CRCs of
// every record (through records.read_records, without the GIL), then every
// record's Example (decoded, class ids and box counts checked, without the
// GIL), then every stored image, which Pillow decodes, as training would
// refuse what Pillow refuses. Runs on the caller's thread; call with the GIL.
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "check_glue.hpp"
#include "reader_glue.hpp"
#include "pyglue/glue.hpp"
#include "records/example.hpp"

namespace py = pybind11;

namespace {

constexpr const char* kCheckDoc = R"doc(Reads every record of a TFRecord dataset, without training, and reports.

Per split, each shard's framing and CRCs are read first (a damaged shard is
one broken entry and contributes no record); then every record is decoded,
its image decoded with Pillow, its class ids checked against the classes and
its box values counted (4 per object). A progress bar counts the shards.

Args:
    descriptor: the descriptor dictionary (``type`` may be left out; the
        dictionary is not changed) or the path of its YAML file.

Returns:
    dict: ``{"classes": [...], "train": split, "validation": split}`` where
    each split is a dict with
        ``shards``: the split's record file paths,
        ``records``: records in the shards whose framing is sound,
        ``boxes``: objects in the sound records,
        ``background``: sound records without objects,
        ``broken``: one ``{"file": shard path, "record": index or None,
        "image_name": str or None, "reason": text}`` per fault, in file
        order: a damaged or unreadable shard (``record`` None), an Example
        that does not decode (``image_name`` None), an image that does not
        decode, a class id outside the classes, a box count that is not
        the object count, or a box coordinate that is not finite; last, a
        ``samples`` count of the descriptor that the shards do not hold
        (``file`` the descriptor path, or the split's name for a dictionary).

Raises:
    TypeError: ``descriptor`` is neither a dict nor a str.
    ValueError, AttributeError: for an invalid descriptor or split folder,
        as the dataset classes raise them; a class named "background" (the
        name of the class the readers put first) too.
)doc";

constexpr const char* kTypeDoc = R"doc(The reader a descriptor dictionary is meant for.

A descriptor without ``type`` is a TFRecord descriptor (of the older layout);
otherwise its ``type``, as text and lower-cased, names the reader. The reader
itself then checks the descriptor in full.

Args:
    descriptor: the descriptor dictionary.

Returns:
    "darknet", "tfrecord", "coco", "voc", or None for a type no reader knows.

Raises:
    TypeError: ``descriptor`` is not a dict.
)doc";

// What the native pass finds in one record.
struct RecordCheck {
    std::optional<std::string> parse_error;
    std::string_view image, image_name;  // views into the record's bytes
    std::size_t objects = 0;
    std::optional<std::string> fault;  // class id or box count
};

RecordCheck check_record(std::string_view payload, long num_classes) {
    RecordCheck out;
    kx::records::DetectionExample example;
    try {
        example = kx::records::decode_detection_example(payload);
    } catch (const kx::records::ExampleError& e) {
        out.parse_error = e.what();
        return out;
    }
    out.image = example.image;
    out.image_name = example.image_name;
    out.objects = example.objects.size();
    if (!example.objects.empty()) {
        const auto [low, high] = std::minmax_element(example.objects.begin(), example.objects.end());
        if (*low < 0 || *high >= num_classes) {
            const std::int64_t shown = *high >= num_classes ? *high : *low;
            out.fault = "class id " + std::to_string(shown) + " outside 0.." + std::to_string(num_classes - 1);
            return out;
        }
    }
    if (example.bboxes.size() != 4 * example.objects.size()) {
        out.fault = std::to_string(example.bboxes.size() / 4) + " boxes for " + std::to_string(example.objects.size()) +
                    " objects";
    } else if (const long box = kx::records::first_non_finite_box(example); box >= 0) {
        out.fault = "box " + std::to_string(box) + " holds a coordinate that is not a finite number";
    }
    return out;
}

// Pillow's verdict on encoded image bytes: empty when they decode.
std::optional<std::string> image_problem(std::string_view image) {
    static kx::Lazy image_open{"PIL.Image", "open"};
    static kx::Lazy bytes_io{"io", "BytesIO"};
    try {
        py::object opened = image_open()(bytes_io()(py::bytes(image.data(), image.size())));
        kx::with_context(opened, [&] { opened.attr("load")(); });
    } catch (py::error_already_set& err) {
        if (!err.matches(PyExc_Exception)) throw;  // Pillow raises several kinds for damaged data
        return "image does not decode: " + std::string(py::str(err.value()));
    }
    return std::nullopt;
}

py::dict broken(py::handle shard, py::object record, py::object image_name, const std::string& reason) {
    py::dict entry;
    entry["file"] = shard;
    entry["record"] = record;
    entry["image_name"] = image_name;
    entry["reason"] = reason;
    return entry;
}

struct SplitTotals {
    std::size_t records = 0, boxes = 0, background = 0;
};

void check_shard(py::handle shard, long num_classes, SplitTotals& totals, py::list& broken_files) {
    static kx::Lazy read_records{"orvane.kestrix.datasets.records", "read_records"};
    py::list payloads;
    try {
        payloads = read_records()(shard);
    } catch (py::error_already_set& err) {
        if (!err.matches(PyExc_ValueError) && !err.matches(PyExc_OSError)) throw;
        broken_files.append(broken(shard, py::none(), py::none(), py::str(err.value())));
        return;
    }
    const std::size_t count = payloads.size();
    std::vector<std::string_view> views(count);
    for (std::size_t i = 0; i < count; ++i) {
        PyObject* item = PyList_GET_ITEM(payloads.ptr(), static_cast<Py_ssize_t>(i));
        views[i] = std::string_view(PyBytes_AS_STRING(item), static_cast<std::size_t>(PyBytes_GET_SIZE(item)));
    }
    std::vector<RecordCheck> checks(count);
    {
        py::gil_scoped_release release;  // `payloads` keeps the bytes alive and unchanged
        for (std::size_t i = 0; i < count; ++i) checks[i] = check_record(views[i], num_classes);
    }
    totals.records += count;
    for (std::size_t i = 0; i < count; ++i) {
        const RecordCheck& check = checks[i];
        py::int_ index(i);
        if (check.parse_error) {
            broken_files.append(broken(shard, index, py::none(), *check.parse_error));
            continue;
        }
        PyObject* decoded = PyUnicode_DecodeUTF8(check.image_name.data(),
                                                 static_cast<Py_ssize_t>(check.image_name.size()), "replace");
        if (decoded == nullptr) throw py::error_already_set();
        py::object name = py::reinterpret_steal<py::object>(decoded);
        if (auto problem = image_problem(check.image)) {
            broken_files.append(broken(shard, index, name, *problem));
        } else if (check.fault) {
            broken_files.append(broken(shard, index, name, *check.fault));
        } else if (check.objects == 0) {
            ++totals.background;
        } else {
            totals.boxes += check.objects;
        }
    }
}

py::dict check_split(py::handle shards, long num_classes, const std::string& split) {
    static kx::Lazy tqdm{"tqdm", "tqdm"};
    SplitTotals totals;
    py::list broken_files;
    py::object bar = tqdm()(py::arg("total") = py::len(shards), py::arg("desc") = "checking " + split + " records",
                            py::arg("leave") = false);
    kx::with_context(bar, [&] {
        for (py::handle shard : shards) {
            check_shard(shard, num_classes, totals, broken_files);
            bar.attr("update")(1);
        }
    });
    py::dict report;
    report["shards"] = shards;
    report["records"] = totals.records;
    report["boxes"] = totals.boxes;
    report["background"] = totals.background;
    report["broken"] = broken_files;
    return report;
}

py::dict check_dataset(py::object descriptor) {
    static kx::Lazy reader_class{"orvane.kestrix.datasets.tfrecord", "TFRecordDatasetYaml"};
    // The reader's own descriptor checks and shard listing.
    py::object target = kx::datasets::check_target();
    py::dict content = kx::datasets::check_descriptor(descriptor, "tfrecord", target);
    py::object reader = reader_class();
    reader.attr("validate_info_file_content")(target, content);
    // The command line's readers put the background class first: its name is taken.
    kx::datasets::check_class_names(target.attr("classes"), true);
    reader.attr("load_storage")(target);
    const long num_classes = static_cast<long>(py::len(target.attr("classes")));

    py::dict report;
    report["classes"] = target.attr("classes");
    report["train"] = check_split(target.attr("train_storage"), num_classes, "train");
    report["validation"] = check_split(target.attr("val_storage"), num_classes, "validation");
    // A declared sample count the shards do not hold plans the wrong number of steps per
    // epoch (and a warm-up that never reaches its peak): a fault of the descriptor.
    for (const auto& [split, attr] : {std::pair{"train", "num_train_samples"},
                                      std::pair{"validation", "num_val_samples"}}) {
        py::object declared = target.attr(attr);
        py::dict found = report[split];
        if (declared.is_none() || declared.equal(py::int_(0)) || declared.equal(found["records"])) continue;
        py::object where = PyUnicode_Check(descriptor.ptr()) ? descriptor : py::object(py::str(split));
        py::list(found["broken"]).append(broken(where, py::none(), py::none(),
            "the " + std::string(split) + " split's samples is " + std::string(py::str(declared)) +
            ", but its shards hold " + std::string(py::str(found["records"])) + " records"));
    }
    return report;
}

py::object dataset_type(py::object descriptor) {
    kx::check_dict(descriptor, "descriptor");
    if (descriptor.is_none()) kx::raise_type_error("descriptor", "dict", descriptor);
    py::object kind = descriptor.attr("get")("type");
    if (kind.is_none()) return py::str("tfrecord");
    py::str name = py::str(kind).attr("lower")();
    for (const char* known : {"darknet", "tfrecord", "coco", "voc"})
        if (name.equal(py::str(known))) return std::move(name);
    return py::none();
}

}  // namespace

namespace kx::datasets {

void register_tfrecord_check(py::module_& m) {
    m.def("check_dataset", &check_dataset, kCheckDoc, py::arg("descriptor"));
    m.def("dataset_type", &dataset_type, kTypeDoc, py::arg("descriptor"));
}

}  // namespace kx::datasets

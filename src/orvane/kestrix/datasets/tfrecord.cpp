// orvane.kestrix.datasets.tfrecord: detection datasets over folders of
// TFRecord shards (serialized Example records with image, image_name, width,
// height, objects and bboxes).
//
// TFRecordDatasetYaml reads its descriptor from a YAML file (through the base
// class), TFRecordDataset takes the descriptor dictionary itself. Both check
// the descriptor, list the shard files of each split, open the record pipeline
// and turn one record into one training or validation sample.
//
// Thread-safety: load_instance and load_training_batch (its batch form)
// run on TensorFlow's worker threads (through the base class's
// tf.numpy_function bridge, which holds the GIL); they only
// read `shape`, `letter_box` and `class_offset`. JPEG decoding (at a reduced
// size for training samples whose output is small enough) and resizing
// happen in OpenCV, which releases the GIL while it works, so several records
// decode at once. Everything else runs on the caller's thread.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "pyglue/glue.hpp"
#include "reader_glue.hpp"
#include "tfrecord_docs.hpp"
#include "geometry/boxes.hpp"
#include "records/example.hpp"
#include "records/jpeg_info.hpp"

namespace py = pybind11;

namespace {

constexpr int kShuffleBuffer = 200;

// Glue -----------------------------------------------------------------------

// The record's image name for a message: bytes that are not UTF-8 are shown
// escaped, so the error that names the record never fails itself.
std::string record_name(py::handle name) {
    if (PyBytes_Check(name.ptr())) return py::str(name.attr("decode")("utf-8", "backslashreplace"));
    return py::str(name);
}

[[noreturn]] void record_error(py::handle name, const std::string& what) {
    kx::raise(PyExc_ValueError, "[ERROR]: Record '" + record_name(name) + "' " + what);
}

// Re-raises the ValueError being handled as the dataset's own error (its
// message after `prefix`), chained to the original.
[[noreturn]] void reraise_value_error(py::error_already_set& err, const std::string& prefix) {
    const std::string message = prefix + std::string(py::str(err.value()));
    py::raise_from(err, PyExc_ValueError, message.c_str());
    throw py::error_already_set();
}

// Decodes JPEG bytes to an RGB uint8 [H, W, 3] array, `factor` (1, 2, 4 or 8)
// times smaller per side (rounded up) than stored. OpenCV releases the GIL
// while it decodes. Grayscale images come out with three channels; EXIF
// orientation is ignored because the boxes refer to the stored pixels.
py::array decode_rgb(const py::buffer_info& encoded_info, const py::object& image, const py::object& name,
                     int factor) {
    static kx::Lazy imdecode{"cv2", "imdecode"};
    // A read-only uint8 view of the encoded bytes; `image` keeps them alive.
    py::array encoded(py::dtype::of<std::uint8_t>(), {encoded_info.size}, {1}, encoded_info.ptr, image);
    py::object decoded = imdecode()(encoded, kx::datasets::decode_flags().reduction(factor));
    if (decoded.is_none()) record_error(name, "holds an image that could not be decoded as JPEG");
    return py::array(decoded);
}

// The record's class ids as the sample builder takes them (as int32, as
// the labels have always been read).
std::vector<double> class_ids(const std::int64_t* objects, std::size_t count) {
    std::vector<double> ids(count);
    for (std::size_t r = 0; r < count; ++r) ids[r] = static_cast<double>(static_cast<std::int32_t>(objects[r]));
    return ids;
}

py::object load_instance(py::object self, py::object data, py::object training_flag) {
    static kx::Lazy parse_example{"orvane.kestrix.datasets.records", "parse_example"};
    namespace kd = kx::datasets;

    int training = PyObject_IsTrue(training_flag.ptr());
    if (training < 0) throw py::error_already_set();
    py::dict record;
    try {
        record = parse_example()(data);
    } catch (py::error_already_set& err) {
        if (!err.matches(PyExc_ValueError)) throw;
        reraise_value_error(err, "[ERROR]: ");
    }
    py::object name = record["image_name"];
    py::object encoded = record["image"];
    py::buffer_info encoded_info = py::buffer(encoded).request();
    if (encoded_info.size == 0) record_error(name, "holds an empty image");

    // A training JPEG is decoded no larger than the output needs; its stored
    // size comes from its own header (the record's width and height are not
    // trusted), and other formats are decoded at full size.
    kd::DecodePlan plan;
    long header_w = 0, header_h = 0;
    double out_w = 1.0, out_h = 1.0;
    py::object shape;
    bool letter_box = false;
    if (training) {
        shape = self.attr("shape");
        letter_box = kd::is_true(self.attr("letter_box"));
        const auto [size_h, size_w] = kd::integral_size(shape);
        const auto header = kx::records::read_jpeg_info(
            std::string_view(static_cast<const char*>(encoded_info.ptr), static_cast<std::size_t>(encoded_info.size)));
        if (header && size_h > 0 && size_w > 0) {
            header_w = header->width;
            header_h = header->height;
            plan = kd::plan_training_decode(letter_box, size_h, size_w, header_w, header_h);
        }
    }
    py::array image = decode_rgb(encoded_info, encoded, name, plan.factor);

    kd::FittedImage fitted = kd::as_stored(image);
    if (training) {
        out_h = kx::to_double(shape[py::int_(0)], "shape[0]");
        out_w = kx::to_double(shape[py::int_(1)], "shape[1]");
        const bool reduced = plan.factor > 1;
        fitted = kd::fit_training_image({image, reduced ? header_w : 0, reduced ? header_h : 0}, letter_box, shape);
    }

    auto objects = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>::ensure(record["objects"]);
    if (!objects) throw py::error_already_set();
    const auto count = static_cast<std::size_t>(objects.size());
    py::object bboxes;  // keeps `xywh` alive
    const float* xywh = nullptr;
    double class_offset = 0.0;
    if (count > 0) {
        auto flat = py::array_t<float, py::array::c_style | py::array::forcecast>::ensure(record["bboxes"]);
        if (!flat) throw py::error_already_set();
        xywh = flat.data();
        bboxes = flat;
        if (static_cast<std::size_t>(flat.size()) != 4 * count) {
            record_error(name, "has " + std::to_string(count) + " objects but " + std::to_string(flat.size()) +
                                   " bboxes values (expected " + std::to_string(4 * count) + ")");
        }
        for (py::ssize_t i = 0; i < flat.size(); ++i)
            if (!std::isfinite(xywh[i]))
                record_error(name, "has box " + std::to_string(i / 4) + " with a coordinate that is not a finite "
                                       "number (" + std::string(py::str(py::float_(xywh[i]))) + ")");
        class_offset = kx::to_double(self.attr("class_offset"), "class_offset");
    }
    const std::vector<double> ids = class_ids(objects.data(), count);
    const kd::BoxRows<float> rows{count, xywh, 4, ids.data(), 1};
    py::array_t<float> boxes = kd::sample_boxes(fitted, rows, class_offset, training != 0, out_w, out_h);
    if (training) return py::make_tuple(fitted.image, boxes);
    return py::make_tuple(fitted.image, boxes, name);
}

// The training samples of a batch of serialized records, written straight
// into the batch (see BaseDetectionDataset: the pipeline uses this in place of
// load_instance(record, training=True) while the dataset's load_instance is
// this module's own). The pixels and boxes are exactly those of load_instance;
// fewer Python objects are made per record and each image is letter-boxed
// into its slot of `images` (uint8 [B, H, W, 3], H x W = shape[:2]). Returns
// one float32 [N, 5] box array per record, or None for a record left to
// load_instance: one that is not bytes or not sound (which load_instance then
// reports with its own error), or every record when the dataset's settings
// are not plain (shape[:2] not two Python ints).
py::list load_training_batch(py::object self, py::object elements, py::array images) {
    namespace kd = kx::datasets;
    static kx::Lazy imdecode{"cv2", "imdecode"};
    return kd::load_batch(self, elements, images, [](py::object element, const kd::BatchTarget& target,
                                                     std::uint8_t* slot) -> std::optional<py::array_t<float>> {
        if (!PyBytes_Check(element.ptr())) return std::nullopt;
        const std::string_view serialized(PyBytes_AS_STRING(element.ptr()),
                                          static_cast<std::size_t>(PyBytes_GET_SIZE(element.ptr())));
        kx::records::DetectionExample record;
        try {
            record = kx::records::decode_detection_example(serialized);
        } catch (const kx::records::ExampleError&) {
            return std::nullopt;
        }
        const std::size_t objects = record.objects.size();
        if (record.image.empty() || record.bboxes.size() != 4 * objects ||
            kx::records::first_non_finite_box(record) >= 0)
            return std::nullopt;

        kd::DecodePlan plan;
        long header_w = 0, header_h = 0;
        if (const auto header = kx::records::read_jpeg_info(record.image)) {
            header_w = header->width;
            header_h = header->height;
            plan = kd::plan_training_decode(target.letter_box, target.out_h, target.out_w, header_w, header_h);
        }
        // A read-only view of the JPEG inside the record; `element` keeps it alive.
        py::array encoded(py::dtype::of<std::uint8_t>(), {static_cast<py::ssize_t>(record.image.size())}, {1},
                          record.image.data(), element);
        py::object decoded = imdecode()(encoded, kd::decode_flags().reduction(plan.factor));
        if (decoded.is_none()) return std::nullopt;
        const std::optional<kd::Pixels> pixels = kd::rgb_pixels(decoded);
        if (!pixels) return std::nullopt;
        const bool reduced = plan.factor > 1;
        const kd::FittedImage fitted = kd::fit_training_image_into(
            {*pixels, reduced ? header_w : 0, reduced ? header_h : 0}, target.letter_box, target.out_h, target.out_w, slot);
        const std::vector<double> ids = class_ids(record.objects.data(), objects);
        const kd::BoxRows<float> rows{objects, record.bboxes.data(), 4, ids.data(), 1};
        return kd::sample_boxes(fitted, rows, target.class_offset, true, static_cast<double>(target.out_w),
                                static_cast<double>(target.out_h));
    });
}

// Construction and descriptor ------------------------------------------------

void yaml_init(py::object self, py::object info_file, py::object shape, py::object letter_box, py::object add_bkg_class,
               py::object aug_cfg) {
    static kx::Lazy this_class{"orvane.kestrix.datasets.tfrecord", "TFRecordDatasetYaml"};
    kx::datasets::init_from_file(this_class(), self, info_file, shape, letter_box, add_bkg_class, aug_cfg);
}

void dict_init(py::object self, py::object info_dataset, py::object shape, py::object letter_box,
               py::object add_bkg_class, py::object aug_cfg) {
    static kx::Lazy yaml_class{"orvane.kestrix.datasets.tfrecord", "TFRecordDatasetYaml"};
    kx::datasets::init_from_dict(yaml_class(), self, "tfrecord", info_dataset, shape, letter_box, add_bkg_class,
                                 aug_cfg);
}

bool equals(py::handle a, py::handle b) {
    int result = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    if (result < 0) throw py::error_already_set();
    return result == 1;
}

// A split's `samples`, when given, is a positive whole number (a bool or a
// string such as "many" would otherwise pass unnoticed until training).
void check_sample_count(py::handle samples, const char* split) {
    if (samples.is_none()) return;
    if (PyLong_Check(samples.ptr()) && !PyBool_Check(samples.ptr())) {
        int positive = PyObject_RichCompareBool(samples.ptr(), py::int_(0).ptr(), Py_GT);
        if (positive < 0) throw py::error_already_set();
        if (positive) return;
    }
    kx::raise(PyExc_ValueError, std::string("[ERROR]: The ") + split +
                                    " split's samples must be a positive whole number, got " +
                                    std::string(py::repr(samples)));
}

py::object validate_info_file_content(py::object self, py::object info_dataset) {
    kx::check_dict(info_dataset, "info_dataset");
    py::object get = info_dataset.attr("get");
    py::object kind = get("type");
    py::object train = get("train");
    py::object validation = get("validation");

    self.attr("classes") = get("classes");
    kx::datasets::prepend_background(self);

    self.attr("num_train_samples") = train.attr("get")("samples");
    self.attr("num_val_samples") = validation.attr("get")("samples");
    py::int_ zero(0);
    if (equals(self.attr("num_train_samples"), zero) || equals(self.attr("num_val_samples"), zero))
        kx::raise(PyExc_ValueError,
                  "[ERROR]: Kestrix trainer does not support empty samples in either train or validation sets");
    check_sample_count(self.attr("num_train_samples"), "train");
    check_sample_count(self.attr("num_val_samples"), "validation");
    if (py::len(self.attr("classes")) == 0)
        kx::raise(PyExc_ValueError, "[ERROR]: Invalid dataset with no annotation classes was found");

    if (kind.is_none()) {
        self.attr("train_storage") = train.attr("get")("images");
        self.attr("val_storage") = validation.attr("get")("images");
    } else if (!equals(kind, py::str("tfrecord"))) {
        std::string message =
            py::str("[ERROR]: Incompatible dataset type was found: {} is different than ``tfrecord``").format(kind);
        kx::raise(PyExc_ValueError, message);
    } else {
        self.attr("train_storage") = train.attr("get")("path");
        self.attr("val_storage") = validation.attr("get")("path");
    }
    if (self.attr("train_storage").is_none() || self.attr("val_storage").is_none())
        kx::raise(PyExc_ValueError,
                  "[ERROR]: This dataset does not contain the ``type`` key and it is not compatible with older "
                  "TFRecord format neither");
    return py::none();
}

// Storage and pipelines --------------------------------------------------------

// The record files of one split folder. A folder that does not exist is an
// error here, where its name is known, rather than a type error much later.
py::object list_records(py::object folder, const char* split) {
    static kx::Lazy exists{"os.path", "exists"};
    static kx::Lazy join{"os.path", "join"};
    static kx::Lazy glob{"glob", "glob"};
    static kx::Lazy escape{"glob", "escape"};
    static kx::Lazy fspath{"os", "fspath"};
    // fspath first: os.path.exists would take an integer for a file descriptor.
    folder = fspath()(folder);
    if (!exists()(folder).cast<bool>()) {
        std::string shown = py::str(folder);
        kx::raise(PyExc_ValueError, std::string("[ERROR]: The ") + split + " folder " + shown + " does not exist");
    }
    // The folder name is taken literally: brackets or stars in it are not patterns.
    return glob()(join()(escape()(folder), "*.tfrecord"));
}

py::object load_storage(py::object self) {
    py::object train_folder = self.attr("train_storage");
    py::object val_folder = self.attr("val_storage");
    self.attr("train_storage") = list_records(train_folder, "train");
    self.attr("val_storage") = list_records(val_folder, "validation");
    const bool val_empty = py::len(self.attr("val_storage")) == 0;
    if (val_empty || py::len(self.attr("train_storage")) == 0) {
        const std::string folder = py::str(val_empty ? val_folder : train_folder);
        kx::raise(PyExc_ValueError, std::string("[ERROR]: Empty train or validation samples are not allowed. The ") +
                                        (val_empty ? "validation" : "train") + " folder " + folder +
                                        " holds no *.tfrecord file.");
    }
    return py::none();
}

py::object build_and_load_base_iterator(py::object, py::object storage, py::object shuffle) {
    static kx::Lazy record_dataset{"tensorflow", "data.TFRecordDataset"};
    static kx::Lazy autotune{"tensorflow", "data.AUTOTUNE"};
    kx::check_list(storage, "storage");
    py::object dataset = record_dataset()(storage, py::arg("num_parallel_reads") = autotune());
    int shuffled = PyObject_IsTrue(shuffle.ptr());
    if (shuffled < 0) throw py::error_already_set();
    if (shuffled) dataset = dataset.attr("shuffle")(kShuffleBuffer);
    return dataset;
}

// The files of a split as they are now: (path, size, modification time) per
// file, so that a count taken earlier is reused only for unchanged shards.
py::tuple shard_signature(py::handle storage) {
    static kx::Lazy os_stat{"os", "stat"};
    py::list entries;
    for (py::handle path : storage) {
        py::object info = os_stat()(path);
        entries.append(py::make_tuple(path, info.attr("st_size"), info.attr("st_mtime_ns")));
    }
    return py::tuple(entries);
}

// The number of records in a split's shards, read from their framing with
// every CRC checked (on all cores, without the GIL, no image decoded). A
// damaged shard is an error that names the file, the record and its byte
// offset. The count is kept on the dataset with the shards' signature, so
// building the pipelines again (every epoch, say) does not read them again.
py::object split_record_count(py::object self, const char* storage_attr, const char* split) {
    static kx::Lazy count_records{"orvane.kestrix.datasets.records", "count_records"};
    constexpr const char* kCache = "_shard_record_counts";
    py::object storage = self.attr(storage_attr);
    py::tuple signature = shard_signature(storage);
    if (!py::hasattr(self, kCache)) self.attr(kCache) = py::dict();
    py::dict cache = self.attr(kCache);
    py::str key(storage_attr);
    if (cache.contains(key)) {
        py::tuple kept = cache[key];
        if (equals(kept[0], signature)) return kept[1];
    }
    py::object count;
    try {
        count = count_records()(storage);
    } catch (py::error_already_set& err) {
        if (!err.matches(PyExc_ValueError)) throw;
        reraise_value_error(err, std::string("[ERROR]: The ") + split + " split holds a damaged shard: ");
    }
    cache[key] = py::make_tuple(signature, count);
    return count;
}

// Checks a split's shards before its pipeline is handed out and reconciles
// the sample count with them: a count of None (no `samples` in the
// descriptor) or 0 is replaced by the number of records; a given count that
// differs is kept (a caller may cap a split on purpose) and reported.
void check_split(py::object self, const char* count_attr, const char* storage_attr, const char* split) {
    py::object given = self.attr(count_attr);
    py::object counted = split_record_count(self, storage_attr, split);
    if (given.is_none()) {
        if (counted.cast<std::uint64_t>() == 0) {
            py::object storage = self.attr(storage_attr);
            const std::size_t files = py::len(storage);
            const std::string first = files ? ", first " + std::string(py::str(storage[py::int_(0)])) + "," : "";
            kx::raise(PyExc_ValueError, std::string("[ERROR]: Kestrix trainer does not support empty samples in "
                                                    "either train or validation sets (the ") +
                                            split + " split's " + std::to_string(files) + " shard file(s)" + first +
                                            " hold no records)");
        }
        self.attr(count_attr) = counted;
    } else if (equals(given, py::int_(0))) {
        self.attr(count_attr) = counted;
    } else if (!equals(given, counted)) {
        kx::warn(std::string("[WARNING]: The ") + split + " split's samples is " + std::string(py::str(given)) +
                 " in the descriptor, but its shards hold " + std::string(py::str(counted)) + " records");
    }
}

// Both classes define the accessors with this one implementation: the
// pipeline comes from the base class (super of TFRecordDatasetYaml), then the
// split is checked, before any batch is read.
py::object build_train_iterator(py::object self, py::object batch_size, py::object prefetch) {
    static kx::Lazy builtin_super{"builtins", "super"};
    static kx::Lazy yaml_class{"orvane.kestrix.datasets.tfrecord", "TFRecordDatasetYaml"};
    py::object pipeline = builtin_super()(yaml_class(), self)
                              .attr("build_train_iterator")(py::arg("batch_size") = batch_size,
                                                            py::arg("prefetch") = prefetch);
    check_split(self, "num_train_samples", "train_storage", "train");
    return pipeline;
}

py::object build_val_iterator(py::object self, py::object batch_size) {
    static kx::Lazy builtin_super{"builtins", "super"};
    static kx::Lazy yaml_class{"orvane.kestrix.datasets.tfrecord", "TFRecordDatasetYaml"};
    py::object pipeline =
        builtin_super()(yaml_class(), self).attr("build_val_iterator")(py::arg("batch_size") = batch_size);
    check_split(self, "num_val_samples", "val_storage", "validation");
    return pipeline;
}

}  // namespace

namespace kx::datasets {
void register_tfrecord_check(py::module_& m);  // tfrecord_check.cpp: check_dataset, dataset_type
}  // namespace kx::datasets

PYBIND11_MODULE(tfrecord, m) {
    m.doc() = "TFRecord detection datasets: TFRecordDatasetYaml (descriptor file) and TFRecordDataset (dictionary).";
    // The module's imports, bound as its attributes; a failing one fails this import.
    py::object base = kx::datasets::open_reader_module(
        m, {{"tf", "tensorflow"}, {"np", "numpy"}, {"cv2", "cv2"}, {"glob", "glob"}});

    py::object yaml_cls = kx::make_class(m, "TFRecordDatasetYaml", base, kYamlClassDoc);
    kx::def_init(yaml_cls, &yaml_init, kYamlInitDoc, py::arg("info_file") = py::none(), py::arg("shape") = py::none(),
                 py::arg("letter_box") = true, py::arg("add_bkg_class") = true, py::arg("aug_cfg") = py::none());
    kx::def_method(yaml_cls, "validate_info_file_content", &validate_info_file_content, kValidateContentDoc,
                   py::arg("info_dataset") = py::none());
    kx::def_method(yaml_cls, "load_storage", &load_storage, kLoadStorageDoc);
    kx::datasets::def_sample_loaders(yaml_cls, &load_instance, kLoadInstanceDoc, &load_training_batch);
    kx::def_method(yaml_cls, "build_and_load_base_iterator", &build_and_load_base_iterator, kBaseIteratorDoc,
                   py::arg("storage"), py::arg("shuffle") = true);
    kx::def_method(yaml_cls, "build_train_iterator", &build_train_iterator, kTrainIteratorDoc, py::arg("batch_size"),
                   py::arg("prefetch") = 10);
    kx::def_method(yaml_cls, "build_val_iterator", &build_val_iterator, kValIteratorDoc, py::arg("batch_size") = 1);

    py::object dict_cls = kx::datasets::make_dict_reader_class(m, "TFRecordDataset", yaml_cls, kDictClassDoc, &dict_init,
                                                               kDictInitDoc);
    kx::def_method(dict_cls, "build_train_iterator", &build_train_iterator, kTrainIteratorDoc, py::arg("batch_size"),
                   py::arg("prefetch") = 10);
    kx::def_method(dict_cls, "build_val_iterator", &build_val_iterator, kValIteratorDoc, py::arg("batch_size") = 1);
    kx::datasets::register_tfrecord_check(m);
}

// What the readers whose annotation files are parsed while the dataset is
// built (the COCO and the VOC reader, each including this once) share: the
// parsed objects of both splits held natively on the dataset, the storage
// lists over them, the samples (validation samples carry the ignore regions
// as a fourth item), the batch loader, the converters' view of one image,
// and the split report of their dataset checks.
//
// A storage element is [image path, image number]: the number (decimal text)
// indexes the images of both splits, training images first. The parsed
// objects live in an AnnotatedImages held in a capsule as `_objects`; they
// are never changed once built, so the samples of several pipeline workers
// read them at once.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "annotations/objects.hpp"
#include "darknet/check.hpp"
#include "darknet_images.hpp"
#include "pyglue/glue.hpp"
#include "reader_glue.hpp"
#include "sample.hpp"

namespace {

namespace ka = kx::annotations;

// The images of one split as a reader found them.
struct SplitImages {
    std::vector<std::string> paths;  // image files, as the file system names them
    std::vector<std::string> names;  // what validation samples call them (UTF-8)
    ka::Table table;                 // their objects, in the same order
};

struct AnnotatedImages {
    std::vector<std::string> names;
    ka::Table table;              // training images, then validation images
    bool train_ignored = false;   // ignore regions are training targets too
};

constexpr const char* kObjectsAttr = "_objects";

// into += from (images, objects and counts).
void append_table(ka::Table* into, const ka::Table& from) {
    const std::size_t base = into->objects.size();
    into->width.insert(into->width.end(), from.width.begin(), from.width.end());
    into->height.insert(into->height.end(), from.height.begin(), from.height.end());
    for (std::size_t i = 1; i < from.first.size(); ++i) into->first.push_back(base + from.first[i]);
    into->objects.insert(into->objects.end(), from.objects.begin(), from.objects.end());
    into->counts.boxes += from.counts.boxes;
    into->counts.ignored += from.counts.ignored;
    into->counts.clipped += from.counts.clipped;
    into->counts.dropped += from.counts.dropped;
    into->counts.left_out += from.counts.left_out;
}

// Fills `train_storage` and `val_storage` with the pairs of both splits and
// keeps their objects on the dataset; the sample counts are set and an
// empty split raises as the Darknet reader's scan does.
void store_splits(py::handle self, SplitImages train, SplitImages validation, bool train_ignored) {
    auto objects = std::make_shared<AnnotatedImages>();
    objects->train_ignored = train_ignored;
    struct Target {
        SplitImages* split;
        const char* storage;
        const char* count;
        const char* empty_message;
    };
    std::size_t number = 0;
    for (const Target& target :
         {Target{&train, "train_storage", "num_train_samples", "[ERROR]: Dataset with empty training samples is not allowed"},
          Target{&validation, "val_storage", "num_val_samples",
                 "[ERROR]: Dataset with empty validation samples is not allowed"}}) {
        py::object storage = self.attr(target.storage);
        py::object append = storage.attr("append");
        for (std::size_t i = 0; i < target.split->paths.size(); ++i, ++number) {
            py::list pair(2);
            pair[0] = python_path(target.split->paths[i]);
            pair[1] = py::str(std::to_string(number));
            append(pair);
        }
        objects->names.insert(objects->names.end(), target.split->names.begin(), target.split->names.end());
        append_table(&objects->table, target.split->table);
        self.attr(target.count) = py::len(storage);
        if (py::len(storage) == 0) kx::raise(PyExc_ValueError, target.empty_message);
        // The objects go on the dataset once the training split holds samples,
        // so that a dataset whose validation split fails still loads its
        // training samples.
        auto held = new std::shared_ptr<const AnnotatedImages>(objects);
        self.attr(kObjectsAttr) = py::capsule(held, [](void* p) { delete static_cast<std::shared_ptr<const AnnotatedImages>*>(p); });
    }
}

// The objects of `self` (kept alive by the returned pointer).
std::shared_ptr<const AnnotatedImages> objects_of(py::handle self) {
    py::object held = py::getattr(self, kObjectsAttr, py::none());
    if (!PyCapsule_CheckExact(held.ptr()))
        kx::raise(PyExc_ValueError, "[ERROR]: the dataset holds no parsed annotations (load_storage has not run)");
    return *static_cast<std::shared_ptr<const AnnotatedImages>*>(py::capsule(held).get_pointer());
}

// The image number of a sample pair's second item.
std::size_t image_number(const py::str& reference, const AnnotatedImages& objects) {
    const std::string text = reference;
    std::size_t used = 0;
    unsigned long long number = 0;
    try {
        number = std::stoull(text, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used == 0 || used != text.size() || text[0] == '-' || number >= objects.table.images())
        kx::raise(PyExc_ValueError, "[ERROR]: a sample of this dataset is [image path, image number], got image number '" +
                                        text + "' (" + std::to_string(objects.table.images()) + " images)");
    return static_cast<std::size_t>(number);
}

// The size the boxes of a decoded image refer to when its declared size is
// unknown: the stored size (a reduced decode knows it) or the decoded one.
std::pair<double, double> stored_size(const kx::datasets::DecodedImage& read) {
    if (read.stored_w > 0 && read.stored_h > 0) return {static_cast<double>(read.stored_w), static_cast<double>(read.stored_h)};
    return {static_cast<double>(read.pixels.shape(1)), static_cast<double>(read.pixels.shape(0))};
}

// The rows of one image chosen by `select`, as the sample builder takes them.
struct Rows {
    std::vector<double> xywh, cls;
    kx::datasets::BoxRows<double> view() const { return {cls.size(), xywh.data(), 4, cls.data(), 1}; }
};

Rows rows_of(const AnnotatedImages& objects, std::size_t image, ka::Select select, std::pair<double, double> actual) {
    Rows rows;
    ka::normalised_rows(objects.table, image, select, actual.first, actual.second, &rows.xywh, &rows.cls);
    return rows;
}

ka::Select training_selection(const AnnotatedImages& objects) {
    return objects.train_ignored ? ka::Select::kAll : ka::Select::kScored;
}

// load_instance of the annotated readers: (image, boxes) for training,
// (image, boxes, name, ignore boxes) for validation; the ignore boxes are
// float32 [M, 5] like the boxes (M may be 0).
py::object table_load_instance(py::object self, py::object data, py::object training_flag) {
    namespace kd = kx::datasets;
    const bool training = kd::is_true(training_flag);
    auto [image_path, reference] = unpack_pair(data);
    const std::shared_ptr<const AnnotatedImages> objects = objects_of(self);
    const std::size_t image = image_number(reference, *objects);

    const SampleImage sample = read_sample_image(self, image_path, training);
    const kd::FittedImage& fitted = sample.fitted;
    const double class_offset = kx::to_double(self.attr("class_offset"), "class_offset");

    const auto actual = stored_size(sample.read);
    if (training) {
        const Rows rows = rows_of(*objects, image, training_selection(*objects), actual);
        std::pair<double, double> limits{1.0, 1.0};
        if (!rows.cls.empty()) limits = sample.box_limits();
        return py::make_tuple(fitted.image,
                              kd::sample_boxes(fitted, rows.view(), class_offset, true, limits.first, limits.second));
    }
    const Rows scored = rows_of(*objects, image, ka::Select::kScored, actual);
    const Rows ignored = rows_of(*objects, image, ka::Select::kIgnored, actual);
    py::array_t<float> ignore_boxes(std::vector<py::ssize_t>{0, 5});
    if (!ignored.cls.empty()) ignore_boxes = kd::sample_boxes(fitted, ignored.view(), class_offset, false, 1.0, 1.0);
    return py::make_tuple(fitted.image, kd::sample_boxes(fitted, scored.view(), class_offset, false, 1.0, 1.0),
                          py::str(objects->names[image]), ignore_boxes);
}

// The training samples of a batch written straight into it (see the Darknet
// reader's load_training_batch).
py::list table_load_training_batch(py::object self, py::object elements, py::array images) {
    namespace kd = kx::datasets;
    std::shared_ptr<const AnnotatedImages> objects;
    return kd::load_batch(self, elements, images, [&](py::object element, const kd::BatchTarget& target,
                                                      std::uint8_t* slot) -> std::optional<py::array_t<float>> {
        if (!objects) objects = objects_of(self);
        auto [image_path, reference] = unpack_pair(element);
        const std::size_t image = image_number(reference, *objects);
        const kd::DecodedImage read = read_image(image_path, target.letter_box, target.out_h, target.out_w);
        const std::optional<kd::Pixels> pixels = kd::rgb_pixels(read.pixels);
        if (!pixels) return std::nullopt;
        const kd::FittedImage fitted = kd::fit_training_image_into({*pixels, read.stored_w, read.stored_h},
                                                                   target.letter_box, target.out_h, target.out_w, slot);
        const Rows rows = rows_of(*objects, image, training_selection(*objects), stored_size(read));
        return kd::sample_boxes(fitted, rows.view(), target.class_offset, true, static_cast<double>(target.out_w),
                                static_cast<double>(target.out_h));
    });
}

constexpr const char* kObjectsDoc = R"doc(The annotation of one image of the dataset, as parsed.

Args:
    data: a storage element ``[image path, image number]``.

Returns:
    dict: ``image`` (the path), ``name`` (as validation samples name it),
    ``width`` and ``height`` (declared; 0 when the annotation gives none),
    ``boxes`` (float64 ``[N, 4]``: x, y, width, height in pixels, clipped to
    the image), ``classes`` (int64 ``[N]``: positions in the dataset's own
    classes, without the background entry) and ``ignore`` (bool ``[N]``:
    crowd regions or difficult objects).
)doc";

py::dict table_objects(py::object self, py::object data) {
    auto [image_path, reference] = unpack_pair(data);
    const std::shared_ptr<const AnnotatedImages> objects = objects_of(self);
    const std::size_t image = image_number(reference, *objects);
    const ka::Table& table = objects->table;
    const auto count = static_cast<py::ssize_t>(table.first[image + 1] - table.first[image]);
    py::array_t<double> boxes(std::vector<py::ssize_t>{count, 4});
    py::array_t<std::int64_t> classes(count);
    py::array_t<bool> ignore(count);
    double* b = boxes.mutable_data();
    std::int64_t* c = classes.mutable_data();
    bool* g = ignore.mutable_data();
    for (const ka::Object* o = table.begin(image); o != table.end(image); ++o) {
        *b++ = o->x, *b++ = o->y, *b++ = o->w, *b++ = o->h;
        *c++ = o->cls;
        *g++ = o->ignore;
    }
    py::dict out;
    out["image"] = image_path;
    out["name"] = py::str(objects->names[image]);
    out["width"] = table.width[image];
    out["height"] = table.height[image];
    out["boxes"] = boxes;
    out["classes"] = classes;
    out["ignore"] = ignore;
    return out;
}

constexpr const char* kTableLoadInstanceDoc = R"doc(Turns one storage element into one sample.

The image is read as the Darknet reader reads it (RGB; JPEGs decoded at a
reduced scale when the training output needs no more). Training: the image
letter-boxed (``letter_box`` true) or resized to ``shape[:2]``, with float32
boxes ``[N, 5]`` (x1, y1, x2, y2 in pixels of the output image, clipped to
it, then the class position plus ``class_offset``); ignore regions (crowd
or difficult objects) are left out unless the dataset keeps them for
training. Validation: the image as stored, the scored boxes with corners as
fractions of its size, the image's name, and the ignore regions as a fourth
item in the same layout (``[M, 5]``, M may be 0). An image without boxes
gives one all-zero row.

Args:
    data: ``[image path, image number]`` as bytes or str, or a string
        tensor of two items (a storage element).
    training: training sample when true, validation sample when false.

Returns:
    ``(image, boxes)`` or ``(image, boxes, name, ignore_boxes)``.

Raises:
    ValueError: "[ERROR]: ..." when ``data`` is not such a pair or the image
        cannot be read (naming the file).
)doc";

constexpr const char* kTableBaseIteratorDoc = R"doc(Starts the pipeline over a storage list.

Args:
    storage: list of ``[image path, image number]`` pairs (or None).
    shuffle: shuffle the whole list (anew on every iteration).

Returns:
    tf.data.Dataset: string tensors of two items, in storage order unless
    shuffled.
)doc";

// Defines the methods every annotated reader shares on its class.
void def_table_methods(py::handle cls) {
    kx::datasets::def_sample_loaders(cls, &table_load_instance, kTableLoadInstanceDoc, &table_load_training_batch);
    kx::def_method(cls, "build_and_load_base_iterator", &kx::datasets::pair_base_iterator, kTableBaseIteratorDoc,
                   py::arg("storage"), py::arg("shuffle") = true);
    kx::def_method(cls, "objects", &table_objects, kObjectsDoc, py::arg("data"));
    // Validation samples carry a fourth item, the ignore regions.
    py::setattr(cls, "ignore_regions", py::bool_(true));
}

// ---------------------------------------------------------------- dataset check

py::dict broken_entry(const std::string& file, const std::string& reason) {
    py::dict entry;
    entry["file"] = python_path(file);
    entry["reason"] = reason;
    return entry;
}

// The report of one split: its images probed (on all cores), with the
// counts of its table. `faults`: the split's broken entries found while
// parsing. `ignored_key`: "crowd" or "difficult".
py::dict split_report(const SplitImages& split, py::list faults, const char* ignored_key, const char* description) {
    static kx::Lazy tqdm{"tqdm", "tqdm"};
    std::vector<kx::darknet::ImageProbe> probes;
    std::vector<kx::darknet::LabelCheck> unused;
    py::object bar = tqdm()(py::arg("total") = split.paths.size(), py::arg("desc") = description);
    kx::with_context(bar, [&] {
        py::gil_scoped_release release;
        kx::darknet::check_files(split.paths, {}, kx::darknet::LabelRules{}, &probes, &unused, kx::bar_progress(bar));
    });
    std::size_t paired = 0, background = 0;
    for (std::size_t i = 0; i < split.paths.size(); ++i) {
        if (!probes[i].problem.empty()) {
            faults.append(broken_entry(split.paths[i], "image " + probes[i].problem));
            continue;
        }
        ++paired;
        if (split.table.first[i + 1] == split.table.first[i]) ++background;
    }
    const ka::Counts& counts = split.table.counts;
    py::dict report;
    report["images"] = split.paths.size();
    report["paired"] = paired;
    report["boxes"] = counts.boxes - counts.ignored;
    report["background"] = background;
    report[ignored_key] = counts.ignored;
    report["clipped"] = counts.clipped;
    report["dropped"] = counts.dropped;
    report["left_out"] = counts.left_out;
    report["broken"] = faults;
    return report;
}

}  // namespace

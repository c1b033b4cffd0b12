// orvane.kestrix.datasets.darknet: detection datasets kept as a folder of
// images and a folder of text annotation files, one "<stem>.txt" per image
// with lines "class x_centre y_centre width height" (normalised).
//
// DarknetDatasetYaml reads its descriptor from a YAML file (through the base
// class), DarknetDataset takes the descriptor dictionary itself. Both check the
// descriptor, pair the images of each split with their annotation files, open
// the pipeline over the pairs and turn one pair into one training or
// validation sample. check_dataset() reads every file of a dataset without
// training and reports what it found.
//
// Thread-safety: load_instance and load_training_batch (its batch form)
// run on TensorFlow's worker threads (through the base class's
// tf.numpy_function bridge, which holds the GIL); they only
// read `shape`, `letter_box`, `class_offset` and `classes`. OpenCV and
// Pillow release the GIL while they decode, letterbox and OpenCV while they
// resize, and image and annotation files are read (and annotations parsed)
// here with the GIL released, so several samples load at once. Everything else runs on the caller's thread. Nothing
// in this module changes NumPy's floating-point error settings: the box
// arithmetic is done in C++.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "darknet/check.hpp"
#include "darknet/files.hpp"
#include "darknet/labels.hpp"
#include "darknet/scan.hpp"
#include "geometry/boxes.hpp"
#include "pyglue/atomic_file.hpp"
#include "pyglue/glue.hpp"
#include "check_glue.hpp"
#include "darknet_docs.hpp"
#include "darknet_images.hpp"
#include "reader_glue.hpp"
#include "records/jpeg_info.hpp"

namespace py = pybind11;
namespace dn = kx::darknet;

namespace kx::datasets {
// darknet_labels.cpp: the boxes of one annotation file (`file` as the OS names it, `shown` in
// messages), read with the GIL released; an unreadable file or a malformed line is a ValueError.
dn::Labels read_annotation_file(const std::string& file, py::handle shown, const dn::LabelRules& rules);
}  // namespace kx::datasets

namespace {

constexpr const char* kModuleName = "orvane.kestrix.datasets.darknet";

// ---------------------------------------------------------------- descriptor

py::object validate_info_file_content(py::object self, py::object info_dataset) {
    kx::check_dict(info_dataset, "info_dataset");
    py::object get = info_dataset.attr("get");
    py::object kind = get("type");
    if (!py::str(kind.attr("lower")()).equal(py::str("darknet"))) {
        std::string message =
            py::str("[ERROR]: Incompatible dataset type was found: {} is different than ``darknet``").format(kind);
        kx::raise(PyExc_ValueError, message);
    }
    self.attr("classes") = get("classes");
    kx::datasets::prepend_background(self);
    if (py::len(self.attr("classes")) == 0)
        kx::raise(PyExc_ValueError, "[ERROR]: Invalid dataset with no annotation classes was found");

    py::object train = get("train");
    py::object validation = get("validation");
    struct Section {
        py::object value;
        const char* images;
        const char* annotations;
        const char* name;
    };
    for (const Section& section : {Section{train, "path_train_images", "path_train_annotations", "train"},
                                   Section{validation, "path_val_images", "path_val_annotations", "validate"}}) {
        py::object section_get = section.value.attr("get");
        self.attr(section.images) = section_get("images");
        self.attr(section.annotations) = section_get("annotations");
        if (self.attr(section.images).is_none() || self.attr(section.annotations).is_none())
            kx::raise(PyExc_ValueError, std::string("[ERROR]: ``images`` and ``annotations`` are mandatory keys within the ``") +
                                            section.name + "`` section");
    }
    return py::none();
}

// ---------------------------------------------------------------- storage

struct SplitNames {
    const char* images;
    const char* annotations;
    const char* storage;
    const char* count;
    const char* description;
    const char* empty_message;
};

constexpr SplitNames kTrainSplit{"path_train_images", "path_train_annotations", "train_storage", "num_train_samples",
                                 "loading training dataset",
                                 "[ERROR]: Dataset with empty training samples is not allowed"};
constexpr SplitNames kValSplit{"path_val_images", "path_val_annotations", "val_storage", "num_val_samples",
                               "loading validation dataset",
                               "[ERROR]: Dataset with empty validation samples is not allowed"};

py::object progress_bar(std::size_t total, const char* description) {
    static kx::Lazy tqdm{"tqdm", "tqdm"};
    return tqdm()(py::arg("total") = total, py::arg("desc") = description);
}

// Python's cyclic garbage collector switched off for a scope, as it was.
class GcPause {
public:
    GcPause() : was_enabled_(PyGC_Disable() == 1) {}
    ~GcPause() {
        if (was_enabled_) PyGC_Enable();
    }
    GcPause(const GcPause&) = delete;
    GcPause& operator=(const GcPause&) = delete;

private:
    bool was_enabled_;
};

// prefix + name as a str; plain ASCII (the usual case) is copied straight
// into the new string, anything else decoded as the file system does.
py::str joined_path(const std::string& prefix, const std::string& name) {
    const std::size_t size = prefix.size() + name.size();
    bool ascii = true;
    for (const std::string* part : {&prefix, &name})
        for (unsigned char c : *part) ascii &= c < 0x80;
    if (!ascii) return python_path(prefix + name);
    PyObject* text = PyUnicode_New(static_cast<Py_ssize_t>(size), 127);
    if (text == nullptr) throw py::error_already_set();
    char* out = static_cast<char*>(PyUnicode_DATA(text));
    std::memcpy(out, prefix.data(), prefix.size());
    std::memcpy(out + prefix.size(), name.data(), name.size());
    return py::reinterpret_steal<py::str>(text);
}

void scan_into_storage(py::object self, const SplitNames& split) {
    const std::string image_folder = native_path(self.attr(split.images), split.images);
    const std::string annotation_folder = native_path(self.attr(split.annotations), split.annotations);
    dn::SplitScan scan;
    {
        py::gil_scoped_release release;
        scan = dn::scan_split(image_folder, annotation_folder);
    }
    py::object storage = self.attr(split.storage);
    const bool plain_list = PyList_CheckExact(storage.ptr());
    py::object append = storage.attr("append");
    py::object bar = progress_bar(scan.images.size(), split.description);
    const std::string image_prefix = dn::join_path(image_folder, "");
    const std::string annotation_prefix = dn::join_path(annotation_folder, "");
    kx::with_context(bar, [&] {
        // The pairs are acyclic: collecting garbage while 100,000 of them are
        // made would only walk them again and again.
        const GcPause pause;
        for (std::size_t i = 0; i < scan.images.size(); ++i) {
            if (!scan.paired[i]) continue;
            py::list pair(2);
            PyList_SET_ITEM(pair.ptr(), 0, joined_path(image_prefix, scan.images[i]).release().ptr());
            PyList_SET_ITEM(pair.ptr(), 1, joined_path(annotation_prefix, scan.annotations[i]).release().ptr());
            if (!plain_list) {
                append(pair);
            } else if (PyList_Append(storage.ptr(), pair.ptr()) < 0) {
                throw py::error_already_set();
            }
        }
        bar.attr("update")(scan.images.size());
    });
    self.attr(split.count) = py::len(storage);
    if (py::len(storage) == 0) kx::raise(PyExc_ValueError, split.empty_message);
}

py::object load_storage(py::object self) {
    scan_into_storage(self, kTrainSplit);
    scan_into_storage(self, kValSplit);
    return py::none();
}

// ---------------------------------------------------------------- samples

// The dataset's own classes (without the background entry).
long dataset_classes(py::handle self, double class_offset) {
    long count = static_cast<long>(py::len(self.attr("classes")));
    return class_offset > 0 ? std::max(0L, count - 1) : count;
}

dn::Labels read_annotations(const py::str& path, long classes) {
    return kx::datasets::read_annotation_file(native_path(path, "annotation path"), path,
                                              dn::LabelRules{classes, false});
}

// The boxes of an annotation file as the sample builder takes them: its
// rows are class, x centre, y centre, width, height.
kx::datasets::BoxRows<double> box_rows(const dn::Labels& labels) {
    const double* values = labels.values.data();
    return {labels.boxes(), values + 1, dn::kLabelValues, values, dn::kLabelValues};
}

py::object load_instance(py::object self, py::object data, py::object training_flag) {
    static kx::Lazy basename{"os.path", "basename"};
    namespace kd = kx::datasets;

    const bool training = kd::is_true(training_flag);
    auto [image_path, annotation_path] = unpack_pair(data);
    const SampleImage sample = read_sample_image(self, image_path, training);
    const kd::FittedImage& fitted = sample.fitted;

    const double class_offset = kx::to_double(self.attr("class_offset"), "class_offset");
    const dn::Labels labels = read_annotations(annotation_path, dataset_classes(self, class_offset));
    std::pair<double, double> limits{1.0, 1.0};
    if (training && labels.boxes() > 0) limits = sample.box_limits();
    py::array_t<float> boxes =
        kd::sample_boxes(fitted, box_rows(labels), class_offset, training, limits.first, limits.second);
    if (training) return py::make_tuple(fitted.image, boxes);
    return py::make_tuple(fitted.image, boxes, basename()(image_path));
}

// The training samples of a batch of sample pairs, written straight into
// the batch (see BaseDetectionDataset: the pipeline uses this in place of
// load_instance(pair, training=True) while the dataset's load_instance is this
// module's own). The pixels and boxes are exactly those of load_instance;
// each image is letter-boxed into its slot of `images` (uint8 [B, H, W, 3],
// H x W = shape[:2]) rather than into a canvas of its own. Returns one float32
// [N, 5] box array per pair, or None for a pair left to load_instance: one
// that fails here (load_instance then reports it with its own error), or every
// pair when shape[:2] is not two Python ints.
py::list load_training_batch(py::object self, py::object elements, py::array images) {
    namespace kd = kx::datasets;
    long classes = -1;  // read with the batch's settings, once
    return kd::load_batch(self, elements, images, [&](py::object element, const kd::BatchTarget& target,
                                                      std::uint8_t* slot) -> std::optional<py::array_t<float>> {
        if (classes < 0) classes = dataset_classes(self, target.class_offset);
        auto [image_path, annotation_path] = unpack_pair(element);
        const kd::DecodedImage read = read_image(image_path, target.letter_box, target.out_h, target.out_w);
        const std::optional<kd::Pixels> pixels = kd::rgb_pixels(read.pixels);
        if (!pixels) return std::nullopt;
        const kd::FittedImage fitted = kd::fit_training_image_into({*pixels, read.stored_w, read.stored_h},
                                                                   target.letter_box, target.out_h, target.out_w, slot);
        const dn::Labels labels = read_annotations(annotation_path, classes);
        return kd::sample_boxes(fitted, box_rows(labels), target.class_offset, true, static_cast<double>(target.out_w),
                                static_cast<double>(target.out_h));
    });
}

// An image file as the validation pipeline reads it, for callers that show or
// convert images (the command line's predict and convert).
py::array read_image_file(py::object path) {
    return read_image(py::str(kx::files::os_attr("fspath")(path)), false, 0, 0).pixels;
}

// ---------------------------------------------------------------- construction

void yaml_init(py::object self, py::object info_file, py::object shape, py::object letter_box, py::object add_bkg_class,
               py::object aug_cfg) {
    static kx::Lazy this_class{kModuleName, "DarknetDatasetYaml"};
    kx::datasets::init_from_file(this_class(), self, info_file, shape, letter_box, add_bkg_class, aug_cfg);
}

void dict_init(py::object self, py::object info_dataset, py::object shape, py::object letter_box,
               py::object add_bkg_class, py::object aug_cfg) {
    static kx::Lazy yaml_class{kModuleName, "DarknetDatasetYaml"};
    kx::datasets::init_from_dict(yaml_class(), self, "darknet", info_dataset, shape, letter_box, add_bkg_class, aug_cfg);
}

// ---------------------------------------------------------------- dataset check

py::dict broken(const std::string& path, const std::string& reason) {
    py::dict entry;
    entry["file"] = python_path(path);
    entry["reason"] = reason;
    return entry;
}

// The most pixels an image may have before Pillow refuses to decode it (twice its
// MAX_IMAGE_PIXELS, at which it raises DecompressionBombError), read at every check so that
// a caller's setting applies; no limit when it is None.
double decoder_pixel_limit() {
    static kx::Lazy image_module{"PIL", "Image"};
    py::object limit = image_module().attr("MAX_IMAGE_PIXELS");
    if (limit.is_none()) return std::numeric_limits<double>::infinity();
    return 2.0 * kx::to_double(limit, "PIL.Image.MAX_IMAGE_PIXELS");
}

py::dict check_split(const std::string& image_folder, const std::string& annotation_folder, long classes,
                     const char* description) {
    static kx::Lazy image_open{"PIL.Image", "open"};
    dn::SplitScan scan;
    std::vector<std::string> images, annotations;
    {
        py::gil_scoped_release release;
        scan = dn::scan_split(image_folder, annotation_folder, true);
        std::unordered_set<std::string> seen;  // a.png and a.jpg share a.txt: read it once
        for (std::size_t i = 0; i < scan.images.size(); ++i) {
            images.push_back(dn::join_path(image_folder, scan.images[i]));
            if (scan.paired[i] && seen.insert(scan.annotations[i]).second)
                annotations.push_back(dn::join_path(annotation_folder, scan.annotations[i]));
        }
    }
    std::vector<dn::ImageProbe> probes;
    std::vector<dn::LabelCheck> parsed;
    py::object bar = progress_bar(images.size() + annotations.size(), description);
    kx::with_context(bar, [&] {
        py::gil_scoped_release release;
        dn::check_files(images, annotations, dn::LabelRules{classes, true}, &probes, &parsed, kx::bar_progress(bar));
    });

    py::list without_annotation, without_image, background, broken_files, skipped;
    if (!dn::is_directory(image_folder)) broken_files.append(broken(image_folder, "the image folder does not exist"));
    if (annotation_folder != image_folder && !dn::is_directory(annotation_folder))
        broken_files.append(broken(annotation_folder, "the annotation folder does not exist"));
    if (!scan.image_listing_error.empty())
        broken_files.append(broken(image_folder, "the image folder cannot be listed: " + scan.image_listing_error));
    if (annotation_folder != image_folder && !scan.annotation_listing_error.empty())
        broken_files.append(
            broken(annotation_folder, "the annotation folder cannot be listed: " + scan.annotation_listing_error));
    for (const std::string& name : scan.skipped) skipped.append(python_path(dn::join_path(image_folder, name)));
    const double pixel_limit = decoder_pixel_limit();
    std::size_t paired = 0, boxes = 0;
    for (std::size_t i = 0; i < images.size(); ++i) {
        if (scan.paired[i]) {
            ++paired;
        } else {
            without_annotation.append(python_path(images[i]));
        }
        const dn::ImageProbe& probe = probes[i];
        if (!probe.problem.empty()) {
            broken_files.append(broken(images[i], "image " + probe.problem));
        } else if (static_cast<double>(probe.width) * probe.height > pixel_limit) {
            broken_files.append(broken(images[i], "image is " + std::to_string(probe.width) + " x " +
                                                      std::to_string(probe.height) + " pixels, above the " +
                                                      std::to_string(static_cast<long long>(pixel_limit)) +
                                                      " the decoder accepts (a decompression bomb)"));
        } else if (probe.format == dn::ImageProbe::Format::kOther) {
            // Neither JPEG nor PNG: whether Pillow reads it decides.
            try {
                py::object image = image_open()(python_path(images[i]));
                image.attr("close")();
            } catch (py::error_already_set& err) {
                if (!err.matches(PyExc_Exception)) throw;
                broken_files.append(broken(images[i], "image cannot be read: " + std::string(py::str(err.value()))));
            }
        }
    }
    for (std::size_t k = 0; k < annotations.size(); ++k) {
        const dn::LabelCheck& check = parsed[k];
        if (!check.readable) {
            broken_files.append(broken(annotations[k], "annotation file cannot be read: " + check.error));
        } else if (check.labels.fault) {
            broken_files.append(broken(annotations[k], "line " + std::to_string(check.labels.fault->line) + ": " +
                                                           check.labels.fault->reason));
        } else if (check.labels.boxes() == 0) {
            background.append(python_path(annotations[k]));
        } else {
            boxes += check.labels.boxes();
        }
    }
    std::vector<std::string> referenced(scan.annotations);
    std::sort(referenced.begin(), referenced.end());
    for (const std::string& name : scan.text_files)
        if (!std::binary_search(referenced.begin(), referenced.end(), name))
            without_image.append(python_path(dn::join_path(annotation_folder, name)));

    py::dict report;
    report["images"] = images.size();
    report["paired"] = paired;
    report["boxes"] = boxes;
    report["without_annotation"] = without_annotation;
    report["without_image"] = without_image;
    report["background"] = background;
    report["broken"] = broken_files;
    report["skipped"] = skipped;
    return report;
}

py::dict check_dataset(py::object descriptor) {
    py::object target = kx::datasets::check_target();
    py::dict content = kx::datasets::check_descriptor(descriptor, "darknet", target);
    validate_info_file_content(target, content);
    // The command line's readers put the background class first: its name is taken.
    kx::datasets::check_class_names(target.attr("classes"), true);
    const long classes = static_cast<long>(py::len(target.attr("classes")));

    py::dict report;
    report["classes"] = target.attr("classes");
    report["train"] = check_split(native_path(target.attr("path_train_images"), "train images"),
                                  native_path(target.attr("path_train_annotations"), "train annotations"), classes,
                                  "checking training dataset");
    report["validation"] = check_split(native_path(target.attr("path_val_images"), "validation images"),
                                       native_path(target.attr("path_val_annotations"), "validation annotations"),
                                       classes, "checking validation dataset");
    return report;
}

}  // namespace

namespace kx::datasets {
void register_darknet_labels(py::module_& m);  // darknet_labels.cpp: read_labels
}  // namespace kx::datasets

PYBIND11_MODULE(darknet, m) {
    m.doc() = "Darknet detection datasets: DarknetDatasetYaml (descriptor file), DarknetDataset (dictionary) and "
              "check_dataset.";
    // The module's imports, bound as its attributes; a failing one fails this import.
    py::object base = kx::datasets::open_reader_module(
        m, {{"tf", "tensorflow"}, {"np", "numpy"}, {"cv2", "cv2"}, {"tqdm", "tqdm"}, {"Image", "PIL.Image"}});

    py::object yaml_cls = kx::make_class(m, "DarknetDatasetYaml", base, kYamlClassDoc);
    kx::def_init(yaml_cls, &yaml_init, kYamlInitDoc, py::arg("info_file") = py::none(), py::arg("shape") = py::none(),
                 py::arg("letter_box") = true, py::arg("add_bkg_class") = true, py::arg("aug_cfg") = py::none());
    kx::def_method(yaml_cls, "validate_info_file_content", &validate_info_file_content, kValidateContentDoc,
                   py::arg("info_dataset") = py::none());
    kx::datasets::def_sample_loaders(yaml_cls, &load_instance, kLoadInstanceDoc, &load_training_batch);
    kx::def_method(yaml_cls, "load_storage", &load_storage, kLoadStorageDoc);
    kx::def_method(yaml_cls, "build_and_load_base_iterator", &kx::datasets::pair_base_iterator, kBaseIteratorDoc,
                   py::arg("storage"), py::arg("shuffle") = true);

    py::object dict_cls = kx::datasets::make_dict_reader_class(m, "DarknetDataset", yaml_cls, kDictClassDoc, &dict_init,
                                                               kDictInitDoc);

    m.def("check_dataset", &check_dataset, kCheckDoc, py::arg("descriptor"));
    m.def("read_image", &read_image_file, kReadImageDoc, py::arg("path"));
    kx::datasets::register_darknet_labels(m);
}

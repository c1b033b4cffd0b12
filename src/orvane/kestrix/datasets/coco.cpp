// orvane.kestrix.datasets.coco: detection datasets kept as a folder of images
// and a COCO instances file per split ("images", "annotations",
// "categories"; boxes [x, y, width, height] in pixels).
//
// CocoDatasetYaml reads its descriptor from a YAML file (through the base
// class), CocoDataset takes the descriptor dictionary itself. Building the
// dataset parses both files natively (annotations/coco) and keeps their
// objects on the dataset; samples are then built from those objects by the
// shared sample builder. Crowd annotations are never training targets: in
// validation samples they are the ignore regions. check_dataset() reports on
// a dataset without building it; read_annotations() gives a file's parsed
// content as arrays.
//
// Thread-safety: load_instance and load_training_batch run on TensorFlow's
// worker threads; they read the dataset's settings and its parsed objects,
// which never change once built.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <string>
#include <vector>

#include "annotations/coco.hpp"
#include "check_glue.hpp"
#include "coco_docs.hpp"
#include "darknet/files.hpp"
#include "pyglue/glue.hpp"
#include "reader_glue.hpp"
#include "table_reader.hpp"

namespace {

constexpr const char* kModuleName = "orvane.kestrix.datasets.coco";

// ---------------------------------------------------------------- descriptor

py::object validate_info_file_content(py::object self, py::object info_dataset) {
    kx::check_dict(info_dataset, "info_dataset");
    py::object get = info_dataset.attr("get");
    py::object kind = get("type");
    if (!py::str(kind.attr("lower")()).equal(py::str("coco"))) {
        std::string message =
            py::str("[ERROR]: Incompatible dataset type was found: {} is different than ``coco``").format(kind);
        kx::raise(PyExc_ValueError, message);
    }
    py::object classes = get("classes");
    if (!classes.is_none()) {
        if (!PyList_Check(classes.ptr()) || py::len(classes) == 0)
            kx::raise(PyExc_ValueError, "[ERROR]: ``classes`` must be a non-empty list of category names when given");
        for (py::handle name : classes)
            if (!PyUnicode_Check(name.ptr()))
                kx::raise(PyExc_ValueError, "[ERROR]: ``classes`` holds " + py::repr(name).cast<std::string>() +
                                                ", which is not a category name");
    }
    self.attr("_descriptor_classes") = classes;
    self.attr("classes") = classes.is_none() ? py::list() : py::list(classes);
    kx::datasets::prepend_background(self);
    for (const auto& [key, images, annotations] :
         {std::tuple{"train", "path_train_images", "path_train_annotations"},
          std::tuple{"validation", "path_val_images", "path_val_annotations"}}) {
        py::object section = get(key);
        if (!PyDict_Check(section.ptr()))
            kx::raise(PyExc_ValueError, std::string("[ERROR]: the descriptor needs a ``") + key +
                                            "`` section with ``images`` (folder) and ``annotations`` (COCO file)");
        self.attr(images) = section.attr("get")("images");
        self.attr(annotations) = section.attr("get")("annotations");
        if (self.attr(images).is_none() || self.attr(annotations).is_none())
            kx::raise(PyExc_ValueError, std::string("[ERROR]: ``images`` and ``annotations`` are mandatory keys within the ``") +
                                            key + "`` section");
    }
    return py::none();
}

// ---------------------------------------------------------------- storage

struct CocoSplit {
    SplitImages images;
    std::vector<std::int64_t> image_ids;
    std::vector<std::string> classes;
    std::vector<std::int64_t> category_ids;
    std::vector<std::string> errors;
    std::string file;  // the COCO file
};

CocoSplit read_split(const std::string& image_folder, const std::string& file, const std::vector<std::string>& wanted) {
    CocoSplit split;
    split.file = file;
    py::gil_scoped_release release;
    ka::CocoIndex index = ka::read_coco(file, wanted);
    split.errors = std::move(index.errors);
    split.classes = std::move(index.classes);
    split.category_ids = std::move(index.category_ids);
    split.images.table = std::move(index.table);
    split.images.paths.reserve(index.images.size());
    for (ka::CocoImage& image : index.images) {
        split.images.paths.push_back(kx::darknet::join_path(image_folder, image.file_name));
        split.images.names.push_back(std::move(image.file_name));
        split.image_ids.push_back(image.id);
    }
    return split;
}

std::vector<std::string> wanted_classes(py::handle self) {
    std::vector<std::string> wanted;
    py::object given = self.attr("_descriptor_classes");
    if (!given.is_none())
        for (py::handle name : given) wanted.push_back(name.cast<std::string>());
    return wanted;
}

[[noreturn]] void raise_fault(const CocoSplit& split, const std::string& fault, std::size_t more) {
    std::string message = "[ERROR]: COCO file '" + std::string(py::str(python_path(split.file))) + "': " + fault;
    if (more > 0) message += " (and " + std::to_string(more) + " more faults; `kestrix check` lists them)";
    kx::raise(PyExc_ValueError, message);
}

CocoSplit load_split(py::handle self, const char* images, const char* annotations,
                     const std::vector<std::string>& wanted) {
    CocoSplit split = read_split(native_path(self.attr(images), images), native_path(self.attr(annotations), annotations),
                                 wanted);
    if (!split.errors.empty()) raise_fault(split, split.errors.front(), split.errors.size() - 1);
    std::vector<std::size_t> missing;
    {
        py::gil_scoped_release release;
        for (std::size_t i = 0; i < split.images.paths.size(); ++i)
            if (!kx::darknet::path_exists(split.images.paths[i])) missing.push_back(i);
    }
    if (!missing.empty())
        raise_fault(split, "image id " + std::to_string(split.image_ids[missing.front()]) + ": the image file '" +
                               std::string(py::str(python_path(split.images.paths[missing.front()]))) + "' does not exist",
                    missing.size() - 1);
    return split;
}

py::object load_storage(py::object self) {
    CocoSplit train = load_split(self, "path_train_images", "path_train_annotations", wanted_classes(self));
    CocoSplit validation = load_split(self, "path_val_images", "path_val_annotations", train.classes);
    py::list classes;
    for (const std::string& name : train.classes) classes.append(name);
    self.attr("classes") = classes;
    kx::datasets::prepend_background(self);
    py::list category_ids;
    for (std::int64_t id : train.category_ids) category_ids.append(id);
    self.attr("category_ids") = category_ids;
    py::dict image_ids;
    for (std::size_t i = 0; i < validation.image_ids.size(); ++i)
        image_ids[py::str(validation.images.names[i])] = validation.image_ids[i];
    self.attr("image_ids") = image_ids;
    store_splits(self, std::move(train.images), std::move(validation.images), false);
    return py::none();
}

// ---------------------------------------------------------------- check

py::dict check_split(const std::string& image_folder, const std::string& file, const std::vector<std::string>& wanted,
                     const char* description, std::vector<std::string>* classes) {
    CocoSplit split = read_split(image_folder, file, wanted);
    py::list faults;
    for (const std::string& error : split.errors) faults.append(broken_entry(file, error));
    if (classes) *classes = split.classes;
    return split_report(split.images, faults, "crowd", description);
}

py::dict check_dataset(py::object descriptor) {
    py::object target = kx::datasets::check_target();
    py::dict content = kx::datasets::check_descriptor(descriptor, "coco", target);
    validate_info_file_content(target, content);
    // The command line's readers put the background class first: its name is taken. Without a
    // list in the descriptor, the names come from the file's categories, checked below.
    kx::datasets::check_class_names(target.attr("classes"), true);
    std::vector<std::string> classes;
    py::dict report;
    report["train"] = check_split(native_path(target.attr("path_train_images"), "train images"),
                                  native_path(target.attr("path_train_annotations"), "train annotations"),
                                  wanted_classes(target), "checking training dataset", &classes);
    report["validation"] = check_split(native_path(target.attr("path_val_images"), "validation images"),
                                       native_path(target.attr("path_val_annotations"), "validation annotations"),
                                       classes, "checking validation dataset", nullptr);
    py::list names;
    for (const std::string& name : classes) names.append(name);
    kx::datasets::check_class_names(names, true);
    report["classes"] = names;
    return report;
}

// ---------------------------------------------------------------- arrays

py::dict read_annotations(py::object path, py::object classes) {
    kx::check_list(classes, "classes");
    std::vector<std::string> wanted;
    if (!classes.is_none())
        for (py::handle name : classes) wanted.push_back(py::str(name).cast<std::string>());
    const std::string file = native_path(path, "path");
    ka::CocoIndex index;
    {
        py::gil_scoped_release release;
        index = ka::read_coco(file, wanted);
    }
    if (!index.errors.empty()) {
        CocoSplit shown;
        shown.file = file;
        raise_fault(shown, index.errors.front(), index.errors.size() - 1);
    }
    const ka::Table& table = index.table;
    const auto images = static_cast<py::ssize_t>(index.images.size());
    const auto objects = static_cast<py::ssize_t>(table.objects.size());
    py::array_t<std::int64_t> image_ids(images), first(images + 1), object_classes(objects);
    py::array_t<double> sizes(std::vector<py::ssize_t>{images, 2}), boxes(std::vector<py::ssize_t>{objects, 4});
    py::array_t<bool> crowd(objects);
    py::list file_names;
    for (py::ssize_t i = 0; i < images; ++i) {
        image_ids.mutable_at(i) = index.images[static_cast<std::size_t>(i)].id;
        sizes.mutable_at(i, 0) = table.width[static_cast<std::size_t>(i)];
        sizes.mutable_at(i, 1) = table.height[static_cast<std::size_t>(i)];
        file_names.append(py::str(index.images[static_cast<std::size_t>(i)].file_name));
    }
    for (py::ssize_t i = 0; i <= images; ++i) first.mutable_at(i) = static_cast<std::int64_t>(table.first[static_cast<std::size_t>(i)]);
    double* b = boxes.mutable_data();
    for (py::ssize_t k = 0; k < objects; ++k) {
        const ka::Object& o = table.objects[static_cast<std::size_t>(k)];
        *b++ = o.x, *b++ = o.y, *b++ = o.w, *b++ = o.h;
        object_classes.mutable_at(k) = o.cls;
        crowd.mutable_at(k) = o.ignore;
    }
    py::list names, category_ids;
    for (std::size_t c = 0; c < index.classes.size(); ++c) {
        names.append(index.classes[c]);
        category_ids.append(index.category_ids[c]);
    }
    py::dict out;
    out["classes"] = names;
    out["category_ids"] = category_ids;
    out["image_ids"] = image_ids;
    out["file_names"] = file_names;
    out["sizes"] = sizes;
    out["first"] = first;
    out["boxes"] = boxes;
    out["labels"] = object_classes;
    out["crowd"] = crowd;
    out["clipped"] = table.counts.clipped;
    out["dropped"] = table.counts.dropped;
    out["left_out"] = table.counts.left_out;
    return out;
}

// ---------------------------------------------------------------- construction

void yaml_init(py::object self, py::object info_file, py::object shape, py::object letter_box, py::object add_bkg_class,
               py::object aug_cfg) {
    static kx::Lazy this_class{kModuleName, "CocoDatasetYaml"};
    kx::datasets::init_from_file(this_class(), self, info_file, shape, letter_box, add_bkg_class, aug_cfg);
}

void dict_init(py::object self, py::object info_dataset, py::object shape, py::object letter_box,
               py::object add_bkg_class, py::object aug_cfg) {
    static kx::Lazy yaml_class{kModuleName, "CocoDatasetYaml"};
    kx::datasets::init_from_dict(yaml_class(), self, "coco", info_dataset, shape, letter_box, add_bkg_class, aug_cfg);
}

}  // namespace

PYBIND11_MODULE(coco, m) {
    m.doc() = "COCO detection datasets: CocoDatasetYaml (descriptor file), CocoDataset (dictionary), check_dataset "
              "and read_annotations.";
    py::object base = kx::datasets::open_reader_module(
        m, {{"tf", "tensorflow"}, {"np", "numpy"}, {"cv2", "cv2"}, {"tqdm", "tqdm"}, {"Image", "PIL.Image"}});

    py::object yaml_cls = kx::make_class(m, "CocoDatasetYaml", base, kYamlClassDoc);
    kx::def_init(yaml_cls, &yaml_init, kYamlInitDoc, py::arg("info_file") = py::none(), py::arg("shape") = py::none(),
                 py::arg("letter_box") = true, py::arg("add_bkg_class") = true, py::arg("aug_cfg") = py::none());
    kx::def_method(yaml_cls, "validate_info_file_content", &validate_info_file_content, kValidateContentDoc,
                   py::arg("info_dataset") = py::none());
    kx::def_method(yaml_cls, "load_storage", &load_storage, kLoadStorageDoc);
    def_table_methods(yaml_cls);

    kx::datasets::make_dict_reader_class(m, "CocoDataset", yaml_cls, kDictClassDoc, &dict_init, kDictInitDoc);

    m.def("check_dataset", &check_dataset, kCheckDoc, py::arg("descriptor"));
    m.def("read_annotations", &read_annotations, kReadAnnotationsDoc, py::arg("path"), py::arg("classes") = py::none());
}

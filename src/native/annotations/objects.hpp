// The objects of an annotated image collection as the COCO and VOC readers
// hold them after parsing: per image its declared size and its boxes in
// pixels, clipped to the image, with class positions and ignore flags
// (COCO crowd regions, VOC difficult objects). Python-free; a built table is
// read-only and safe to share between threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kx::annotations {

// One box: top-left corner and size in pixels of its image.
struct Object {
    double x = 0, y = 0, w = 0, h = 0;
    int cls = 0;          // position in the dataset's classes
    bool ignore = false;  // crowd or difficult: never a training target
};

// What clip_box did to a box.
enum class Fit { kInside, kClipped, kDropped };

// Clips the box x, y, w, h to [0, width] x [0, height] (a size <= 0 leaves
// that axis unclipped); a box left with no area, or whose size overflows a
// double, is dropped.
Fit clip_box(double* x, double* y, double* w, double* h, double width, double height);

// Counts of what building a table did, for the dataset check.
struct Counts {
    std::size_t boxes = 0;     // kept, ignore regions included
    std::size_t ignored = 0;   // crowd / difficult among the kept
    std::size_t clipped = 0;   // kept after clipping
    std::size_t dropped = 0;   // no area left (zero size or wholly outside)
    std::size_t left_out = 0;  // of a category outside the chosen classes
};

// Objects grouped by image: objects of image i are objects[first[i] ..
// first[i + 1]).
struct Table {
    std::vector<double> width, height;  // declared size per image (0: unknown)
    std::vector<std::size_t> first{0};
    std::vector<Object> objects;
    Counts counts;

    std::size_t images() const { return width.size(); }
    const Object* begin(std::size_t image) const { return objects.data() + first[image]; }
    const Object* end(std::size_t image) const { return objects.data() + first[image + 1]; }
    // Appends an image and its objects: each box clipped to the declared
    // size, boxes without area dropped; counted in `counts`.
    void add_image(double image_width, double image_height, std::vector<Object> boxes);
};

// Which objects of an image a sample takes.
enum class Select { kScored, kIgnored, kAll };

// The boxes of image `image` chosen by `select`, as normalised centre x,
// centre y, width, height rows (xywh, 4 values a row) and class ids (cls).
// The size divides the pixels: the declared size, or (when that is unknown)
// `actual_w` x `actual_h`.
void normalised_rows(const Table& table, std::size_t image, Select select, double actual_w, double actual_h,
                     std::vector<double>* xywh, std::vector<double>* cls);

}  // namespace kx::annotations

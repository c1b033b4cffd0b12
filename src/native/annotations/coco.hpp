// A COCO instances file ("images", "annotations", "categories") read into
// an object table, with every fault of the file collected. The file is
// parsed as a stream of events by nlohmann::json's SAX parser: nothing but
// the fields used is kept, so a file of a million annotations costs little
// more memory than its own bytes. Python-free; thread-safe (no shared state).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "annotations/objects.hpp"

namespace kx::annotations {

struct CocoImage {
    std::int64_t id = 0;
    std::string file_name;
};

struct CocoCategory {
    std::int64_t id = 0;
    std::string name;
};

// A COCO file as the reader uses it. Images keep the file's order;
// `classes` are the chosen category names in class order and
// `category_ids` their ids; table.objects hold class positions, crowd
// annotations flagged ignore, annotations of other categories left out
// (counted).
struct CocoIndex {
    std::vector<CocoImage> images;
    std::vector<std::string> classes;
    std::vector<std::int64_t> category_ids;
    Table table;
    // Every fault found, in file order, each naming the image, annotation
    // or category ("annotation id 7: image_id 12 is not an image of the
    // file"). A file with faults is not to be used.
    std::vector<std::string> errors;
};

// Parses `text`. `wanted`: the class names to keep, in class order (each
// must name a category); empty keeps every category, in id order.
CocoIndex parse_coco(std::string_view text, const std::vector<std::string>& wanted);

// Reads and parses the file at `path`; a file that cannot be read is one
// error.
CocoIndex read_coco(const std::string& path, const std::vector<std::string>& wanted);

}  // namespace kx::annotations

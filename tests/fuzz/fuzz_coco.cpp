// Fuzz target: the COCO instances file reader (annotations/coco.*) over
// arbitrary bytes, with every category kept and with a class chosen by name.
//
// Checked on every input, besides what the sanitizers catch: the object
// table is consistent (offsets rise from 0 to the object count, one size per
// image, class positions within the classes); every kept box lies inside its
// image (when the image has a size), has area and finite values; classes and
// their ids pair up; and a file without faults has a table for each image.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "annotations/coco.hpp"

namespace ka = kx::annotations;

namespace {

[[noreturn]] void violated(const char* what) {
    std::fprintf(stderr, "invariant violated: %s\n", what);
    std::abort();
}

void check(const ka::CocoIndex& index) {
    const ka::Table& t = index.table;
    if (index.classes.size() != index.category_ids.size()) violated("classes and ids differ in number");
    if (t.width.size() != t.height.size() || t.first.size() != t.width.size() + 1) violated("table sizes differ");
    if (index.errors.empty() && t.images() != index.images.size()) violated("an image without its table row");
    if (t.first.front() != 0 || t.first.back() != t.objects.size()) violated("offsets do not span the objects");
    for (std::size_t i = 0; i < t.images(); ++i) {
        if (t.first[i] > t.first[i + 1]) violated("offsets fall");
        for (const ka::Object* o = t.begin(i); o != t.end(i); ++o) {
            if (!(std::isfinite(o->x) && std::isfinite(o->y) && std::isfinite(o->w) && std::isfinite(o->h)))
                violated("a kept box is not finite");
            if (!(o->w > 0 && o->h > 0) || o->x < 0 || o->y < 0) violated("a kept box has no area or lies left/above");
            if ((t.width[i] > 0 && o->x + o->w > t.width[i] * (1 + 1e-12)) ||
                (t.height[i] > 0 && o->y + o->h > t.height[i] * (1 + 1e-12)))
                violated("a kept box reaches out of its image");
            if (o->cls < 0 || static_cast<std::size_t>(o->cls) >= index.classes.size()) violated("a class outside the classes");
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    check(ka::parse_coco(input, {}));
    check(ka::parse_coco(input, {"a"}));
    return 0;
}

// The per-image object table of the COCO and VOC readers.
#include "annotations/objects.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

namespace kx::annotations {

Fit clip_box(double* x, double* y, double* w, double* h, double width, double height) {
    double x1 = *x, y1 = *y, x2 = *x + *w, y2 = *y + *h;
    bool clipped = false;
    auto clamp = [&clipped](double* value, double high) {
        if (*value < 0) *value = 0, clipped = true;
        if (high > 0 && *value > high) *value = high, clipped = true;
    };
    clamp(&x1, width);
    clamp(&x2, width);
    clamp(&y1, height);
    clamp(&y2, height);
    // No area, or corners past the range of a double (huge values, no image size): nothing to train on.
    if (!(x2 > x1) || !(y2 > y1) || !std::isfinite(x2 - x1) || !std::isfinite(y2 - y1)) return Fit::kDropped;
    *x = x1, *y = y1, *w = x2 - x1, *h = y2 - y1;
    return clipped ? Fit::kClipped : Fit::kInside;
}

void Table::add_image(double image_width, double image_height, std::vector<Object> boxes) {
    width.push_back(image_width);
    height.push_back(image_height);
    for (Object& o : boxes) {
        const Fit fit = clip_box(&o.x, &o.y, &o.w, &o.h, image_width, image_height);
        if (fit == Fit::kDropped) {
            ++counts.dropped;
            continue;
        }
        if (fit == Fit::kClipped) ++counts.clipped;
        ++counts.boxes;
        if (o.ignore) ++counts.ignored;
        objects.push_back(o);
    }
    first.push_back(objects.size());
}

void normalised_rows(const Table& table, std::size_t image, Select select, double actual_w, double actual_h,
                     std::vector<double>* xywh, std::vector<double>* cls) {
    const double width = table.width[image] > 0 ? table.width[image] : actual_w;
    const double height = table.height[image] > 0 ? table.height[image] : actual_h;
    xywh->clear();
    cls->clear();
    for (const Object* o = table.begin(image); o != table.end(image); ++o) {
        if (select != Select::kAll && o->ignore != (select == Select::kIgnored)) continue;
        xywh->insert(xywh->end(), {(o->x + o->w / 2) / width, (o->y + o->h / 2) / height, o->w / width, o->h / height});
        cls->push_back(o->cls);
    }
}

}  // namespace kx::annotations

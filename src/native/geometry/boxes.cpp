// Letter-box placement and box conversion.
#include "geometry/boxes.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>

namespace kx::geometry {
namespace {

int scaled(int size, double ratio, int limit) {
    const long v = std::lround(size * ratio);
    return static_cast<int>(std::clamp<long>(v, 1, limit));
}

template <typename T>
void convert(const T* in, T* out, std::size_t rows, std::size_t cols, double w, double h, double padw,
             double padh) {
    for (std::size_t r = 0; r < rows; ++r) {
        const T* src = in + r * cols;
        T* dst = out + r * cols;
        const double cx = src[0], cy = src[1], bw = src[2], bh = src[3];
        if (dst != src)
            for (std::size_t c = 4; c < cols; ++c) dst[c] = src[c];
        dst[0] = static_cast<T>((cx - bw / 2) * w + padw);
        dst[1] = static_cast<T>((cy - bh / 2) * h + padh);
        dst[2] = static_cast<T>((cx + bw / 2) * w + padw);
        dst[3] = static_cast<T>((cy + bh / 2) * h + padh);
    }
}

}  // namespace

Letterbox letterbox_geometry(int src_width, int src_height, int target_width, int target_height,
                             bool pad_to_stride, int stride) {
    if (src_width <= 0 || src_height <= 0)
        throw std::invalid_argument("image size must be positive, got " + std::to_string(src_width) + "x" +
                                    std::to_string(src_height));
    if (target_width <= 0 || target_height <= 0)
        throw std::invalid_argument("target size must be positive, got " + std::to_string(target_width) + "x" +
                                    std::to_string(target_height));
    if (stride <= 0) throw std::invalid_argument("stride must be positive, got " + std::to_string(stride));
    const double r = std::min(double(target_width) / src_width, double(target_height) / src_height);
    Letterbox box;
    box.content_width = scaled(src_width, r, target_width);
    box.content_height = scaled(src_height, r, target_height);
    box.canvas_width = target_width;
    box.canvas_height = target_height;
    if (pad_to_stride) {
        const auto round_up = [stride](int v) { return (v + stride - 1) / stride * stride; };
        box.canvas_width = std::min(target_width, round_up(box.content_width));
        box.canvas_height = std::min(target_height, round_up(box.content_height));
    }
    const int extra_w = box.canvas_width - box.content_width;
    const int extra_h = box.canvas_height - box.content_height;
    box.pad_left = extra_w / 2;
    box.pad_right = extra_w - box.pad_left;
    box.pad_top = extra_h / 2;
    box.pad_bottom = extra_h - box.pad_top;
    box.ratio_x = double(box.content_width) / src_width;
    box.ratio_y = double(box.content_height) / src_height;
    return box;
}

void paste_letterbox(const Letterbox& box, const std::uint8_t* content, std::size_t content_row_bytes, int channels,
                     std::uint8_t fill, std::uint8_t* canvas) {
    const auto ch = static_cast<std::size_t>(channels);
    const std::size_t canvas_row = static_cast<std::size_t>(box.canvas_width) * ch;
    const std::size_t content_row = static_cast<std::size_t>(box.content_width) * ch;
    const std::size_t left = static_cast<std::size_t>(box.pad_left) * ch;
    const auto top = static_cast<std::size_t>(box.pad_top);
    const auto rows = static_cast<std::size_t>(box.canvas_height);
    const auto content_rows = static_cast<std::size_t>(box.content_height);
    for (std::size_t y = 0; y < rows; ++y) {
        std::uint8_t* dst = canvas + y * canvas_row;
        if (y < top || y >= top + content_rows) {
            std::memset(dst, fill, canvas_row);
            continue;
        }
        std::memset(dst, fill, left);
        std::memcpy(dst + left, content + (y - top) * content_row_bytes, content_row);
        std::memset(dst + left + content_row, fill, canvas_row - left - content_row);
    }
}

void xywhn_to_xyxy(const float* in, float* out, std::size_t rows, std::size_t cols, double w, double h,
                   double padw, double padh) {
    convert(in, out, rows, cols, w, h, padw, padh);
}

void xywhn_to_xyxy(const double* in, double* out, std::size_t rows, std::size_t cols, double w, double h,
                   double padw, double padh) {
    convert(in, out, rows, cols, w, h, padw, padh);
}

}  // namespace kx::geometry

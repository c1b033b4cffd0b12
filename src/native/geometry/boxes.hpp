// Box and letter-box geometry for detection samples, on plain buffers.
// Pure functions; thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kx::geometry {

// The grey that pads a letter-boxed image (and fills what augmentation
// uncovers): mid grey, neutral for normalised inputs.
constexpr std::uint8_t kLetterboxFill = 114;

// The largest image or canvas side the letter-box takes.
constexpr int kMaxSide = 1 << 20;

// Where a src_width x src_height image lands when it is scaled to fit inside
// target_width x target_height with its aspect ratio kept and centred on a
// padded canvas.
struct Letterbox {
    int content_width = 0, content_height = 0;  // scaled image, before padding
    int canvas_width = 0, canvas_height = 0;    // output size
    int pad_left = 0, pad_top = 0, pad_right = 0, pad_bottom = 0;
    // content / source size per axis; content_width == ratio_x * src_width
    // exactly, so boxes scaled by the ratio line up with the pixels.
    double ratio_x = 0, ratio_y = 0;
};

// Throws std::invalid_argument for non-positive sizes or stride. With
// pad_to_stride the canvas is the content size rounded up to a multiple of
// `stride` on each axis (never more than the target); otherwise the canvas is
// the target size.
Letterbox letterbox_geometry(int src_width, int src_height, int target_width, int target_height,
                             bool pad_to_stride = false, int stride = 32);

// Fills the canvas (canvas_height x canvas_width x channels, rows contiguous)
// with `fill` and copies the content image (content_height x content_width x
// channels, rows `content_row_bytes` apart) into it at the padding offsets.
void paste_letterbox(const Letterbox& box, const std::uint8_t* content, std::size_t content_row_bytes, int channels,
                     std::uint8_t fill, std::uint8_t* canvas);

// Normalised centre/size boxes to pixel corners, row by row over `rows` rows
// of `cols` (>= 4) values: x1 = (cx - bw/2)*w + padw, y1 = (cy - bh/2)*h + padh,
// x2 = (cx + bw/2)*w + padw, y2 = (cy + bh/2)*h + padh; columns from 4 on are
// copied. `in` and `out` may be the same buffer.
void xywhn_to_xyxy(const float* in, float* out, std::size_t rows, std::size_t cols, double w, double h,
                   double padw, double padh);
void xywhn_to_xyxy(const double* in, double* out, std::size_t rows, std::size_t cols, double w, double h,
                   double padw, double padh);

}  // namespace kx::geometry

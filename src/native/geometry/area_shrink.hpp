// Shrinking an 8-bit image by whole factors with pixel-area averaging, on
// plain buffers. Pure function; thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kx::geometry {

// Shrinks src (src_height x src_width x channels, rows src_row_bytes apart)
// to dst_height x dst_width x channels (rows dst_row_bytes apart) when both
// factors src_width / dst_width and src_height / dst_height are whole: every
// output value is the sum of its fx x fy block times the float 1 / (fx * fy),
// rounded to the nearest integer (ties to even), which is what OpenCV's
// INTER_AREA gives for such factors. Returns false, writing nothing, for the
// sizes it does not handle: factors that are not whole, a 1 x 1 or 2 x 2
// factor (OpenCV rounds the 2 x 2 average in integers), a vertical factor
// above 257, or a size below 1.
bool shrink_by_whole_factor(const std::uint8_t* src, std::size_t src_row_bytes, int src_width, int src_height,
                            int channels, std::uint8_t* dst, std::size_t dst_row_bytes, int dst_width, int dst_height);

}  // namespace kx::geometry

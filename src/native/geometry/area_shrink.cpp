// Whole-factor area shrink (see area_shrink.hpp).
#include "geometry/area_shrink.hpp"

#include <cmath>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace kx::geometry {

namespace {

// Nearest integer, ties to even (the default rounding mode), inline: one
// instruction where SSE2 is there instead of a library call per value.
inline int round_even(float v) {
#if defined(__SSE2__)
    return _mm_cvtss_si32(_mm_set_ss(v));
#else
    return static_cast<int>(std::lrint(v));
#endif
}

}  // namespace

bool shrink_by_whole_factor(const std::uint8_t* src, std::size_t src_row_bytes, int src_width, int src_height,
                            int channels, std::uint8_t* dst, std::size_t dst_row_bytes, int dst_width, int dst_height) {
    if (src_width < 1 || src_height < 1 || dst_width < 1 || dst_height < 1 || channels < 1) return false;
    if (src_width % dst_width != 0 || src_height % dst_height != 0) return false;
    const int fx = src_width / dst_width, fy = src_height / dst_height;
    if (fx * fy < 2 || (fx == 2 && fy == 2) || fy > 257) return false;  // 257 * 255 fits 16 bits

    const auto ch = static_cast<std::size_t>(channels);
    const std::size_t row_values = static_cast<std::size_t>(src_width) * ch;
    // The product is taken in float, as the reference does: the same value
    // rounds the same way.
    const float scale = 1.f / static_cast<float>(fx * fy);
    std::vector<std::uint16_t> columns(row_values);
    for (int oy = 0; oy < dst_height; ++oy) {
        // Vertical sums of the block rows, then horizontal sums of fx pixels.
        const std::uint8_t* row = src + static_cast<std::size_t>(oy) * static_cast<std::size_t>(fy) * src_row_bytes;
        for (std::size_t i = 0; i < row_values; ++i) columns[i] = row[i];
        for (int r = 1; r < fy; ++r) {
            row += src_row_bytes;
            for (std::size_t i = 0; i < row_values; ++i) columns[i] = static_cast<std::uint16_t>(columns[i] + row[i]);
        }
        std::uint8_t* out = dst + static_cast<std::size_t>(oy) * dst_row_bytes;
        const std::uint16_t* block = columns.data();
        for (int ox = 0; ox < dst_width; ++ox, block += static_cast<std::size_t>(fx) * ch) {
            for (std::size_t c = 0; c < ch; ++c) {
                std::uint32_t sum = 0;
                for (int k = 0; k < fx; ++k) sum += block[static_cast<std::size_t>(k) * ch + c];
                const int v = round_even(static_cast<float>(sum) * scale);
                *out++ = static_cast<std::uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
            }
        }
    }
    return true;
}

}  // namespace kx::geometry

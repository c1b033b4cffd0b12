// Training-sample augmentation; see augment.hpp.
#include "augment/augment.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace kx::augment {

namespace {

std::uint64_t splitmix64(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

std::uint8_t to_byte(float v) { return static_cast<std::uint8_t>(std::clamp(v, 0.0f, 255.0f) + 0.5f); }

bool has_area(const Box& b) { return b.x2 > b.x1 && b.y2 > b.y1; }

}  // namespace

Rng::Rng(std::uint64_t seed) {
    for (auto& word : s_) word = splitmix64(seed);
}

std::uint64_t Rng::next() {
    const std::uint64_t result = rotl(s_[1] * 5, 7) * 9;
    const std::uint64_t t = s_[1] << 17;
    s_[2] ^= s_[0];
    s_[3] ^= s_[1];
    s_[1] ^= s_[2];
    s_[0] ^= s_[3];
    s_[2] ^= t;
    s_[3] = rotl(s_[3], 45);
    return result;
}

double Rng::uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }

double Rng::uniform(double low, double high) { return low + (high - low) * uniform(); }

std::uint64_t sample_seed(std::uint64_t batch_key, std::uint64_t index) {
    std::uint64_t state = batch_key ^ (index * 0xD1B54A32D192ED03ULL);
    return splitmix64(state);
}

void flip_horizontal(std::uint8_t* pixels, int height, int width, std::vector<Box>& boxes) {
    for (int y = 0; y < height; ++y) {
        std::uint8_t* row = pixels + static_cast<std::size_t>(y) * width * 3;
        for (int left = 0, right = width - 1; left < right; ++left, --right) {
            for (int c = 0; c < 3; ++c) std::swap(row[left * 3 + c], row[right * 3 + c]);
        }
    }
    const float w = static_cast<float>(width);
    for (Box& b : boxes) {
        const float x1 = b.x1;
        b.x1 = w - b.x2;
        b.x2 = w - x1;
    }
}

void jitter_hsv(std::uint8_t* pixels, int height, int width, double hue_shift, double saturation_gain,
                double value_gain) {
    // One 3x3 colour matrix: value * ((1 - s) * luma + s * rotation about the grey axis).
    // The rotation by a third of the circle maps red to green; grey stays grey.
    const double angle = 2.0 * 3.14159265358979323846 * hue_shift;
    const double cosine = std::cos(angle), sine = std::sin(angle), third = 1.0 / 3.0, root = std::sqrt(third);
    double rotation[3][3];
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            // Rodrigues' formula about the unit axis (1, 1, 1) / sqrt(3).
            const double cross = (i == j) ? 0.0 : (((j - i + 3) % 3 == 1) ? -root : root);
            rotation[i][j] = cosine * (i == j ? 1.0 : 0.0) + (1.0 - cosine) * third + sine * cross;
        }
    static constexpr double kLuma[3] = {0.299, 0.587, 0.114};
    float m[3][3];
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            m[i][j] = static_cast<float>(value_gain * ((1.0 - saturation_gain) * kLuma[j] + saturation_gain * rotation[i][j]));
    const std::size_t count = static_cast<std::size_t>(height) * static_cast<std::size_t>(width);
    for (std::size_t k = 0; k < count; ++k) {
        std::uint8_t* p = pixels + k * 3;
        const float r = p[0], g = p[1], b = p[2];
        p[0] = to_byte(m[0][0] * r + m[0][1] * g + m[0][2] * b);
        p[1] = to_byte(m[1][0] * r + m[1][1] * g + m[1][2] * b);
        p[2] = to_byte(m[2][0] * r + m[2][1] * g + m[2][2] * b);
    }
}

void scale_translate(std::uint8_t* pixels, int height, int width, double scale, double dx, double dy,
                     std::vector<Box>& boxes, const Config& config, std::vector<std::uint8_t>& scratch) {
    const std::size_t bytes = static_cast<std::size_t>(height) * width * 3;
    scratch.assign(pixels, pixels + bytes);
    const double cx = width / 2.0, cy = height / 2.0;
    const float fill = config.fill;
    // Output pixel centre (x + 0.5) samples the source at (x + 0.5 - cx - dx) / scale + cx;
    // the column taps and weights are the same on every row.
    std::vector<int> col0(width);
    std::vector<float> colw(width);
    for (int x = 0; x < width; ++x) {
        const double sx = (x + 0.5 - cx - dx) / scale + cx - 0.5;
        col0[x] = static_cast<int>(std::floor(sx));
        colw[x] = static_cast<float>(sx - col0[x]);
    }
    const std::size_t stride = static_cast<std::size_t>(width) * 3;
    for (int y = 0; y < height; ++y) {
        const double sy = (y + 0.5 - cy - dy) / scale + cy - 0.5;
        const int y0 = static_cast<int>(std::floor(sy));
        const float fy = static_cast<float>(sy - y0);
        std::uint8_t* out = pixels + static_cast<std::size_t>(y) * stride;
        const bool top = y0 >= 0 && y0 < height, bottom = y0 + 1 >= 0 && y0 + 1 < height;
        if (!top && !bottom) {
            std::memset(out, config.fill, stride);
            continue;
        }
        const std::uint8_t* row0 = top ? scratch.data() + static_cast<std::size_t>(y0) * stride : nullptr;
        const std::uint8_t* row1 = bottom ? scratch.data() + static_cast<std::size_t>(y0 + 1) * stride : nullptr;
        for (int x = 0; x < width; ++x, out += 3) {
            const int x0 = col0[x];
            const float fx = colw[x];
            const bool left = x0 >= 0 && x0 < width, right = x0 + 1 >= 0 && x0 + 1 < width;
            if (!left && !right) {
                out[0] = out[1] = out[2] = config.fill;
                continue;
            }
            const float w00 = (1 - fx) * (1 - fy), w01 = fx * (1 - fy), w10 = (1 - fx) * fy, w11 = fx * fy;
            if (top && bottom && left && right) {
                const std::uint8_t* a = row0 + x0 * 3;
                const std::uint8_t* b = row1 + x0 * 3;
                for (int c = 0; c < 3; ++c) out[c] = to_byte(w00 * a[c] + w01 * a[c + 3] + w10 * b[c] + w11 * b[c + 3]);
                continue;
            }
            // At the border, taps outside the source take the fill colour.
            for (int c = 0; c < 3; ++c) {
                const float v00 = top && left ? row0[x0 * 3 + c] : fill;
                const float v01 = top && right ? row0[(x0 + 1) * 3 + c] : fill;
                const float v10 = bottom && left ? row1[x0 * 3 + c] : fill;
                const float v11 = bottom && right ? row1[(x0 + 1) * 3 + c] : fill;
                out[c] = to_byte(w00 * v00 + w01 * v01 + w10 * v10 + w11 * v11);
            }
        }
    }

    const float w = static_cast<float>(width), h = static_cast<float>(height);
    std::vector<Box> kept;
    kept.reserve(boxes.size());
    for (const Box& b : boxes) {
        Box moved{static_cast<float>((b.x1 - cx) * scale + cx + dx), static_cast<float>((b.y1 - cy) * scale + cy + dy),
                  static_cast<float>((b.x2 - cx) * scale + cx + dx), static_cast<float>((b.y2 - cy) * scale + cy + dy),
                  b.cls};
        const double area = static_cast<double>(moved.x2 - moved.x1) * (moved.y2 - moved.y1);
        Box clipped{std::clamp(moved.x1, 0.0f, w), std::clamp(moved.y1, 0.0f, h), std::clamp(moved.x2, 0.0f, w),
                    std::clamp(moved.y2, 0.0f, h), b.cls};
        const double bw = clipped.x2 - clipped.x1, bh = clipped.y2 - clipped.y1;
        if (bw >= config.min_side && bh >= config.min_side && bw * bh >= config.min_visible * area)
            kept.push_back(clipped);
    }
    boxes.swap(kept);
}

void mosaic(const std::uint8_t* const sources[4], const std::vector<Box>* const source_boxes[4], int height, int width,
            int cx, int cy, const Config& config, std::uint8_t* out, std::vector<Box>& out_boxes) {
    const int half_w = width / 2, half_h = height / 2;
    const std::size_t stride = static_cast<std::size_t>(width) * 3;
    // Quadrant q: where its half-size source starts on the canvas, and the canvas region it owns.
    const int origin_x[4] = {cx - half_w, cx, cx - half_w, cx};
    const int origin_y[4] = {cy - half_h, cy - half_h, cy, cy};
    const int region_x1[4] = {0, cx, 0, cx}, region_x2[4] = {cx, width, cx, width};
    const int region_y1[4] = {0, 0, cy, cy}, region_y2[4] = {cy, cy, height, height};
    for (int y = 0; y < height; ++y) {
        std::uint8_t* row = out + static_cast<std::size_t>(y) * stride;
        for (int x = 0; x < width; ++x) {
            const int q = (y < cy ? 0 : 2) + (x < cx ? 0 : 1);
            const int lx = x - origin_x[q], ly = y - origin_y[q];
            std::uint8_t* px = row + static_cast<std::size_t>(x) * 3;
            if (lx < 0 || ly < 0 || lx >= half_w || ly >= half_h) {
                px[0] = px[1] = px[2] = config.fill;
                continue;
            }
            // The 2 x 2 block of the source that this pixel stands for, averaged.
            const int sx = std::min(2 * lx, width - 1), sy = std::min(2 * ly, height - 1);
            const int sx1 = std::min(sx + 1, width - 1), sy1 = std::min(sy + 1, height - 1);
            const std::uint8_t* src = sources[q];
            const std::uint8_t* a = src + static_cast<std::size_t>(sy) * stride;
            const std::uint8_t* b = src + static_cast<std::size_t>(sy1) * stride;
            for (int c = 0; c < 3; ++c) {
                const int sum = a[sx * 3 + c] + a[sx1 * 3 + c] + b[sx * 3 + c] + b[sx1 * 3 + c];
                px[c] = static_cast<std::uint8_t>((sum + 2) / 4);
            }
        }
    }
    out_boxes.clear();
    for (int q = 0; q < 4; ++q) {
        const float ox = static_cast<float>(origin_x[q]), oy = static_cast<float>(origin_y[q]);
        const float lo_x = static_cast<float>(std::max(region_x1[q], origin_x[q]));
        const float hi_x = static_cast<float>(std::min(region_x2[q], origin_x[q] + half_w));
        const float lo_y = static_cast<float>(std::max(region_y1[q], origin_y[q]));
        const float hi_y = static_cast<float>(std::min(region_y2[q], origin_y[q] + half_h));
        for (const Box& b : *source_boxes[q]) {
            if (!has_area(b)) continue;
            const Box moved{b.x1 * 0.5f + ox, b.y1 * 0.5f + oy, b.x2 * 0.5f + ox, b.y2 * 0.5f + oy, b.cls};
            const double area = static_cast<double>(moved.x2 - moved.x1) * (moved.y2 - moved.y1);
            const Box clipped{std::clamp(moved.x1, lo_x, std::max(lo_x, hi_x)), std::clamp(moved.y1, lo_y, std::max(lo_y, hi_y)),
                              std::clamp(moved.x2, lo_x, std::max(lo_x, hi_x)), std::clamp(moved.y2, lo_y, std::max(lo_y, hi_y)),
                              b.cls};
            const double bw = clipped.x2 - clipped.x1, bh = clipped.y2 - clipped.y1;
            if (bw >= config.min_side && bh >= config.min_side && bw * bh >= config.min_visible * area)
                out_boxes.push_back(clipped);
        }
    }
}

void apply(const Config& config, Rng& rng, std::uint8_t* pixels, int height, int width, std::vector<Box>& boxes,
           std::vector<std::uint8_t>& scratch) {
    boxes.erase(std::remove_if(boxes.begin(), boxes.end(), [](const Box& b) { return !has_area(b); }), boxes.end());
    if (config.flip > 0 && rng.uniform() < config.flip) flip_horizontal(pixels, height, width, boxes);
    if (config.hsv > 0 && rng.uniform() < config.hsv) {
        const double hue = rng.uniform(-config.hue_gain, config.hue_gain);
        const double saturation = rng.uniform(1.0 - config.saturation_gain, 1.0 + config.saturation_gain);
        const double value = rng.uniform(1.0 - config.value_gain, 1.0 + config.value_gain);
        jitter_hsv(pixels, height, width, hue, saturation, value);
    }
    if (config.scale > 0 && rng.uniform() < config.scale) {
        const double scale = rng.uniform(1.0 - config.scale_gain, 1.0 + config.scale_gain);
        const double dx = rng.uniform(-config.translate_gain, config.translate_gain) * width;
        const double dy = rng.uniform(-config.translate_gain, config.translate_gain) * height;
        scale_translate(pixels, height, width, scale, dx, dy, boxes, config, scratch);
    }
}

}  // namespace kx::augment

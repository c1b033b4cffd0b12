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
    // Hue in sixths of the circle (0..6).
    float shift = static_cast<float>(hue_shift - std::floor(hue_shift)) * 6.0f;
    const float sg = static_cast<float>(saturation_gain), vg = static_cast<float>(value_gain);
    const std::size_t count = static_cast<std::size_t>(height) * static_cast<std::size_t>(width);
    for (std::size_t i = 0; i < count; ++i) {
        std::uint8_t* p = pixels + i * 3;
        const float r = p[0], g = p[1], b = p[2];
        const float max = std::max({r, g, b}), min = std::min({r, g, b});
        const float chroma = max - min;
        float h = 0;
        if (chroma > 0) {
            if (max == r) {
                h = (g - b) / chroma;
                if (h < 0) h += 6.0f;
            } else if (max == g) {
                h = (b - r) / chroma + 2.0f;
            } else {
                h = (r - g) / chroma + 4.0f;
            }
        }
        float s = max > 0 ? chroma / max : 0.0f;
        float v = std::min(max * vg, 255.0f);
        s = std::min(s * sg, 1.0f);
        h += shift;
        if (h >= 6.0f) h -= 6.0f;
        // HSV back to RGB.
        const float c = v * s;
        const float x = c * (1.0f - std::fabs(std::fmod(h, 2.0f) - 1.0f));
        const float m = v - c;
        float rgb[3];
        switch (static_cast<int>(h)) {
            case 0: rgb[0] = c, rgb[1] = x, rgb[2] = 0; break;
            case 1: rgb[0] = x, rgb[1] = c, rgb[2] = 0; break;
            case 2: rgb[0] = 0, rgb[1] = c, rgb[2] = x; break;
            case 3: rgb[0] = 0, rgb[1] = x, rgb[2] = c; break;
            case 4: rgb[0] = x, rgb[1] = 0, rgb[2] = c; break;
            default: rgb[0] = c, rgb[1] = 0, rgb[2] = x; break;
        }
        for (int k = 0; k < 3; ++k) p[k] = to_byte(rgb[k] + m);
    }
}

void scale_translate(std::uint8_t* pixels, int height, int width, double scale, double dx, double dy,
                     std::vector<Box>& boxes, const Config& config, std::vector<std::uint8_t>& scratch) {
    const std::size_t bytes = static_cast<std::size_t>(height) * width * 3;
    scratch.assign(pixels, pixels + bytes);
    const double cx = width / 2.0, cy = height / 2.0;
    // Output pixel centre (x + 0.5) maps back to source position (x + 0.5 - cx - dx) / scale + cx.
    for (int y = 0; y < height; ++y) {
        const double sy = (y + 0.5 - cy - dy) / scale + cy - 0.5;
        const int y0 = static_cast<int>(std::floor(sy));
        const float fy = static_cast<float>(sy - y0);
        std::uint8_t* out = pixels + static_cast<std::size_t>(y) * width * 3;
        for (int x = 0; x < width; ++x, out += 3) {
            const double sx = (x + 0.5 - cx - dx) / scale + cx - 0.5;
            const int x0 = static_cast<int>(std::floor(sx));
            const float fx = static_cast<float>(sx - x0);
            if (sx <= -1.0 || sy <= -1.0 || x0 >= width || y0 >= height) {
                out[0] = out[1] = out[2] = config.fill;
                continue;
            }
            // Neighbours outside the source take the fill colour.
            const std::uint8_t* taps[4] = {nullptr, nullptr, nullptr, nullptr};
            const int xs[2] = {x0, x0 + 1}, ys[2] = {y0, y0 + 1};
            for (int j = 0; j < 2; ++j)
                for (int i = 0; i < 2; ++i)
                    if (xs[i] >= 0 && xs[i] < width && ys[j] >= 0 && ys[j] < height)
                        taps[j * 2 + i] = scratch.data() + (static_cast<std::size_t>(ys[j]) * width + xs[i]) * 3;
            const float weights[4] = {(1 - fx) * (1 - fy), fx * (1 - fy), (1 - fx) * fy, fx * fy};
            for (int c = 0; c < 3; ++c) {
                float v = 0;
                for (int k = 0; k < 4; ++k) v += weights[k] * (taps[k] ? taps[k][c] : config.fill);
                out[c] = to_byte(v);
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

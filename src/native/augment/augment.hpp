// Training-sample augmentation on plain buffers: mosaic of four images, horizontal flip, HSV
// jitter and random scale-and-translate, with the boxes moved alongside the pixels.
//
// Images are height x width x 3 uint8 (RGB), rows contiguous; boxes are pixel corners
// x1, y1, x2, y2 and a class number. Everything here is pure computation on the buffers it
// is given and on the Rng it is handed; calls on different buffers and generators may run
// on different threads at once.
#pragma once

#include <cstdint>
#include <vector>

#include "geometry/boxes.hpp"

namespace kx::augment {

struct Box {
    float x1 = 0, y1 = 0, x2 = 0, y2 = 0, cls = 0;
};

// A small, fast, seedable generator (xoshiro256** seeded through splitmix64). The same seed
// gives the same sequence on every platform.
class Rng {
public:
    explicit Rng(std::uint64_t seed);
    std::uint64_t next();
    double uniform();                          // [0, 1)
    double uniform(double low, double high);   // [low, high)

private:
    std::uint64_t s_[4];
};

// A key for sample `index` of a batch whose key is `batch_key`: distinct samples get
// unrelated generators.
std::uint64_t sample_seed(std::uint64_t batch_key, std::uint64_t index);

// How often each technique is applied (each a probability 0..1) and how strongly.
struct Config {
    double flip = 0;   // horizontal flip
    double hsv = 0;    // hue, saturation and value jitter
    double scale = 0;  // random scale and translation
    double mosaic = 0; // four images of the batch at half size around a random centre
    double hue_gain = 0.015;        // hue shift up to +-gain of the full circle
    double saturation_gain = 0.5;   // saturation times 1 +- gain
    double value_gain = 0.3;        // value times 1 +- gain
    double scale_gain = 0.3;        // zoom 1 +- gain about the image centre
    double translate_gain = 0.15;   // shift up to +-gain of the image size
    std::uint8_t fill = geometry::kLetterboxFill;  // colour of the pixels uncovered by scale-and-translate
    // A box is kept when at least this share of its moved area and a side of at least
    // min_side pixels remain inside the image; otherwise it has left the image.
    double min_visible = 0.2;
    double min_side = 2.0;

    bool any() const { return flip > 0 || hsv > 0 || scale > 0 || mosaic > 0; }
};

// Mirrors the image left to right; x1' = width - x2, x2' = width - x1.
void flip_horizontal(std::uint8_t* pixels, int height, int width, std::vector<Box>& boxes);

// Colour jitter as one 3x3 matrix per image: the hue rotated by `hue_shift` (fraction of
// the circle) about the grey axis, the saturation (distance from the pixel's luma grey)
// times `saturation_gain` and the value times `value_gain`, clipped to 0..255. Grey stays
// grey; a third of the circle turns red into green. Boxes do not change.
void jitter_hsv(std::uint8_t* pixels, int height, int width, double hue_shift, double saturation_gain,
                double value_gain);

// Zooms the image by `scale` about its centre and shifts it by (dx, dy) pixels: the content
// at (x, y) moves to ((x - w/2) * scale + w/2 + dx, (y - h/2) * scale + h/2 + dy), sampled
// bilinearly; uncovered pixels get `fill`. Boxes move the same way, are clipped to the image
// and dropped when they leave it (see Config::min_visible, min_side). `scratch` is reused
// between calls.
void scale_translate(std::uint8_t* pixels, int height, int width, double scale, double dx, double dy,
                     std::vector<Box>& boxes, const Config& config, std::vector<std::uint8_t>& scratch);

// Four images of height x width at half size, one per quadrant around the point (cx, cy):
// sources[0] ends at it from the top left, sources[1] from the top right, sources[2] from the
// bottom left and sources[3] from the bottom right; each is cut at the quadrant's edges and the
// image's borders, and pixels no source covers get config.fill. `out` may not be a source.
// The boxes of each source are halved, moved with it, clipped to its quadrant and kept under
// the rules of Config::min_visible and min_side; `out_boxes` receives them.
void mosaic(const std::uint8_t* const sources[4], const std::vector<Box>* const source_boxes[4], int height, int width,
            int cx, int cy, const Config& config, std::uint8_t* out, std::vector<Box>& out_boxes);

// Applies each technique of `config` with its frequency, in the order flip, HSV, scale-
// and-translate (so uncovered pixels keep the fill colour), drawing from `rng`. Boxes
// without area (padding) are removed first; the caller represents an empty result as it
// likes. A technique of frequency 0 draws nothing
// and changes nothing.
void apply(const Config& config, Rng& rng, std::uint8_t* pixels, int height, int width, std::vector<Box>& boxes,
           std::vector<std::uint8_t>& scratch);

}  // namespace kx::augment

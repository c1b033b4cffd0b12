// A quick soundness check of an image file without decoding it: the format
// from its first bytes, the size from its header, and whether the file still
// ends where the format says it must (a cut-off copy or download does not).
// JPEG and PNG are understood; anything else is left to the caller.
// Pure function; thread-safe.
#pragma once

#include <string>

namespace kx::darknet {

struct ImageProbe {
    enum class Format { kJpeg, kPng, kOther } format = Format::kOther;
    int width = 0;
    int height = 0;
    std::string problem;  // empty when the file looks sound
};

// kOther with an empty problem: not JPEG or PNG, or not readable as either
// (the caller may ask a full decoder). A problem is set for unreadable, empty,
// truncated or malformed JPEG and PNG files.
ImageProbe probe_image(const std::string& path);

}  // namespace kx::darknet

// JPEG marker walk and PNG chunk checks on the head and tail of a file.
#include "darknet/image_probe.hpp"

#include <algorithm>
#include <cstdint>
#include <string_view>

#include "darknet/files.hpp"

namespace kx::darknet {
namespace {

constexpr std::size_t kHead = 4096;
constexpr std::size_t kTail = 65536;
constexpr std::string_view kPngSignature = "\x89PNG\r\n\x1a\n";
constexpr std::string_view kPngEnd = std::string_view("\0\0\0\0IEND\xAE\x42\x60\x82", 12);

unsigned byte_at(std::string_view data, std::size_t i) { return static_cast<unsigned char>(data[i]); }

// Where a JPEG's frame header says how large the image is, and where its
// first scan starts. `complete` is false when `head` ends before both.
struct JpegLayout {
    bool complete = false;
    bool malformed = false;
    int width = 0, height = 0;
    std::size_t scan_start = 0;
};

JpegLayout walk_jpeg(std::string_view head) {
    JpegLayout layout;
    bool have_frame = false;
    std::size_t pos = 2;  // after SOI
    while (pos + 4 <= head.size()) {
        if (byte_at(head, pos) != 0xFF) {
            layout.malformed = true;
            return layout;
        }
        const unsigned marker = byte_at(head, pos + 1);
        if (marker == 0xFF) {
            ++pos;
            continue;
        }
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD8)) {
            pos += 2;
            continue;
        }
        const std::size_t length = (byte_at(head, pos + 2) << 8) | byte_at(head, pos + 3);
        if (marker == 0xD9 || length < 2) {
            layout.malformed = true;
            return layout;
        }
        if (marker == 0xDA) {
            layout.complete = have_frame;
            layout.malformed = !have_frame;
            layout.scan_start = pos + 2 + length;
            return layout;
        }
        const bool frame = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
        if (frame && !have_frame) {
            if (pos + 9 > head.size()) return layout;
            layout.height = static_cast<int>((byte_at(head, pos + 5) << 8) | byte_at(head, pos + 6));
            layout.width = static_cast<int>((byte_at(head, pos + 7) << 8) | byte_at(head, pos + 8));
            have_frame = true;
        }
        pos += 2 + length;
    }
    return layout;
}

void probe_jpeg(FileReader& file, std::string head, ImageProbe* probe) {
    probe->format = ImageProbe::Format::kJpeg;
    JpegLayout layout = walk_jpeg(head);
    if (!layout.complete && !layout.malformed && head.size() < file.size()) {
        head = file.read_at(0, static_cast<std::size_t>(file.size()));  // large metadata segments
        layout = walk_jpeg(head);
    }
    if (layout.malformed) {
        probe->problem = "is not a valid JPEG image (malformed header)";
        return;
    }
    if (!layout.complete) {
        probe->problem = "is truncated (the JPEG header ends before the image data)";
        return;
    }
    probe->width = layout.width;
    probe->height = layout.height;
    if (layout.width == 0 || layout.height == 0) {
        probe->problem = "is not a valid JPEG image (frame size " + std::to_string(layout.width) + "x" +
                         std::to_string(layout.height) + ")";
        return;
    }
    // The end-of-image marker cannot occur inside entropy-coded data, so its
    // absence after the first scan means the file was cut off. Bytes may
    // follow it (some cameras append data), hence the search over the tail.
    const std::uint64_t from = std::max<std::uint64_t>(layout.scan_start, file.size() > kTail ? file.size() - kTail : 0);
    const std::string tail = file.read_at(from, static_cast<std::size_t>(file.size() - std::min(from, file.size())));
    if (tail.find("\xFF\xD9") == std::string::npos) probe->problem = "is truncated (no JPEG end-of-image marker)";
}

void probe_png(FileReader& file, const std::string& head, ImageProbe* probe) {
    probe->format = ImageProbe::Format::kPng;
    if (head.size() < 33 || std::string_view(head).substr(12, 4) != "IHDR") {
        probe->problem = head.size() < 33 ? "is truncated (the PNG header is incomplete)"
                                          : "is not a valid PNG image (no IHDR chunk first)";
        return;
    }
    auto be32 = [&](std::size_t at) {
        return (byte_at(head, at) << 24) | (byte_at(head, at + 1) << 16) | (byte_at(head, at + 2) << 8) |
               byte_at(head, at + 3);
    };
    probe->width = static_cast<int>(be32(16) & 0x7FFFFFFF);
    probe->height = static_cast<int>(be32(20) & 0x7FFFFFFF);
    if (probe->width == 0 || probe->height == 0) {
        probe->problem = "is not a valid PNG image (size " + std::to_string(probe->width) + "x" +
                         std::to_string(probe->height) + ")";
        return;
    }
    const std::uint64_t from = file.size() > kTail ? file.size() - kTail : 0;
    const std::string tail = file.read_at(from, static_cast<std::size_t>(file.size() - from));
    if (tail.find(kPngEnd) == std::string::npos) probe->problem = "is truncated (no PNG end chunk)";
}

}  // namespace

ImageProbe probe_image(const std::string& path) {
    ImageProbe probe;
    FileReader file(path);
    if (!file.ok()) {
        probe.problem = "cannot be read: " + file.error();
        return probe;
    }
    if (file.size() == 0) {
        probe.problem = "is empty (0 bytes)";
        return probe;
    }
    std::string head = file.read_at(0, kHead);
    if (!file.error().empty()) {
        probe.problem = "cannot be read: " + file.error();
    } else if (head.size() >= 3 && byte_at(head, 0) == 0xFF && byte_at(head, 1) == 0xD8 && byte_at(head, 2) == 0xFF) {
        probe_jpeg(file, std::move(head), &probe);
    } else if (std::string_view(head).substr(0, kPngSignature.size()) == kPngSignature) {
        probe_png(file, head, &probe);
    }
    return probe;
}

}  // namespace kx::darknet

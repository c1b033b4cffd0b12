// JPEG and PNG checks on the head and tail of a file (the JPEG header walk
// is records/jpeg_info's).
#include "darknet/image_probe.hpp"

#include <algorithm>
#include <cstdint>
#include <string_view>

#include "darknet/files.hpp"
#include "records/jpeg_info.hpp"

namespace kx::darknet {
namespace {

constexpr std::size_t kHead = 4096;
constexpr std::size_t kTail = 65536;
constexpr std::string_view kPngSignature = "\x89PNG\r\n\x1a\n";
constexpr std::string_view kPngEnd = std::string_view("\0\0\0\0IEND\xAE\x42\x60\x82", 12);

unsigned byte_at(std::string_view data, std::size_t i) { return static_cast<unsigned char>(data[i]); }

void probe_jpeg(FileReader& file, std::string head, ImageProbe* probe) {
    using End = records::JpegHeader::End;
    probe->format = ImageProbe::Format::kJpeg;
    records::JpegHeader header = records::walk_jpeg_header(head);
    if (header.end == End::kCutShort && head.size() < file.size()) {
        head = file.read_at(0, static_cast<std::size_t>(file.size()));  // large metadata segments
        header = records::walk_jpeg_header(head);
    }
    if (header.end == End::kMalformed) {
        probe->problem = "is not a valid JPEG image (malformed header)";
        return;
    }
    if (header.end != End::kScan) {
        probe->problem = "is truncated (the JPEG header ends before the image data)";
        return;
    }
    probe->width = header.frame->width;
    probe->height = header.frame->height;
    if (probe->width == 0 || probe->height == 0) {
        probe->problem = "is not a valid JPEG image (frame size " + std::to_string(probe->width) + "x" +
                         std::to_string(probe->height) + ")";
        return;
    }
    // The end-of-image marker cannot occur inside entropy-coded data, so its
    // absence after the first scan means the file was cut off. Bytes may
    // follow it (some cameras append data), hence the search over the tail.
    const std::uint64_t from = std::max<std::uint64_t>(header.scan_start, file.size() > kTail ? file.size() - kTail : 0);
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

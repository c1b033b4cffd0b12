// Fuzz target: the JPEG header walker and reader (records/jpeg_info.*) over
// arbitrary bytes.
//
// Checked on every input, besides what the sanitizers catch: a walk that
// reaches a scan has found a frame, and its scan starts after the markers; a
// found frame size fits the 16-bit fields it is read from, and bytes appended
// after the input never change a size already found (the reader stops at the
// first frame header and must not look past it).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "records/jpeg_info.hpp"

namespace rec = kx::records;

namespace {

[[noreturn]] void violated(const char* what) {
    std::fprintf(stderr, "invariant violated: %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const rec::JpegHeader header = rec::walk_jpeg_header(input);
    if (header.end == rec::JpegHeader::End::kScan && (!header.frame || header.scan_start < 8))
        violated("a scan without a frame, or before the header's first segment");
    const auto info = rec::read_jpeg_info(input);
    if (!info) return 0;
    if (info->width < 0 || info->width > 0xFFFF || info->height < 0 || info->height > 0xFFFF || info->channels < 0 ||
        info->channels > 0xFF)
        violated("frame size outside its 16-bit fields");
    const std::string longer = std::string(input) + std::string("\xFF\xC0\x00\x11\x08\x12\x34\x56\x78\x03", 10);
    const auto again = rec::read_jpeg_info(longer);
    if (!again || again->width != info->width || again->height != info->height || again->channels != info->channels)
        violated("appended bytes changed the frame size");
    return 0;
}

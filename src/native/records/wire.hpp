// Writing the protocol-buffer wire format: the few primitives the record
// encoders (Example, Event) share. Messages are written in field-number
// order, as protobuf's own serializers write them, so that what is encoded
// here is byte for byte what those serializers produce. Pure functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace kx::records::wire {

enum WireType : unsigned { kVarint = 0, kFixed64 = 1, kLengthDelimited = 2, kStartGroup = 3, kEndGroup = 4,
                           kFixed32 = 5 };

inline std::size_t varint_size(std::uint64_t v) {
    std::size_t n = 1;
    while (v >= 0x80) {
        v >>= 7;
        ++n;
    }
    return n;
}

inline void put_varint(std::string& out, std::uint64_t v) {
    while (v >= 0x80) {
        out.push_back(static_cast<char>((v & 0x7f) | 0x80));
        v >>= 7;
    }
    out.push_back(static_cast<char>(v));
}

inline void put_tag(std::string& out, unsigned field, WireType type) {
    put_varint(out, (std::uint64_t(field) << 3) | type);
}

// Size of a length-delimited field of `payload` bytes whose tag fits one byte (field < 16).
inline std::size_t delimited_size(std::size_t payload) { return 1 + varint_size(payload) + payload; }

// The tag and length of a length-delimited field; its `payload` bytes follow.
inline void put_delimited_header(std::string& out, unsigned field, std::size_t payload) {
    put_tag(out, field, kLengthDelimited);
    put_varint(out, payload);
}

// Little-endian 4 and 8 byte values (float, double), as fixed32/fixed64 fields store them.
inline void put_fixed32(std::string& out, float value) {
    std::uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    for (int b = 0; b < 4; ++b) out.push_back(static_cast<char>(bits >> (8 * b)));
}

inline void put_fixed64(std::string& out, double value) {
    std::uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    for (int b = 0; b < 8; ++b) out.push_back(static_cast<char>(bits >> (8 * b)));
}

}  // namespace kx::records::wire

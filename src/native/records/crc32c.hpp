// CRC-32C (Castagnoli polynomial) and the masked form stored in record files.
//
// Record files store a "masked" CRC of each length header and payload, so that
// a CRC computed over data that itself contains CRCs does not degenerate.
// All functions are pure and thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kx::records {

// Continues a CRC-32C over `size` more bytes: crc32c_extend(crc32c(a), b) is
// the CRC of a followed by b. Uses the CPU's CRC32 instruction where present
// (SSE4.2 on x86-64, detected at run time) and a slicing-by-8 table otherwise.
std::uint32_t crc32c_extend(std::uint32_t crc, const void* data, std::size_t size);

inline std::uint32_t crc32c(const void* data, std::size_t size) { return crc32c_extend(0, data, size); }

// The portable table-driven implementation, exposed so that tests can compare
// it with the hardware path on the same inputs.
std::uint32_t crc32c_extend_portable(std::uint32_t crc, const void* data, std::size_t size);

// True when crc32c_extend uses a hardware instruction on this machine.
bool crc32c_hardware_accelerated();

constexpr std::uint32_t kCrcMaskDelta = 0xa282ead8u;

constexpr std::uint32_t mask_crc(std::uint32_t crc) { return ((crc >> 15) | (crc << 17)) + kCrcMaskDelta; }

constexpr std::uint32_t unmask_crc(std::uint32_t masked) {
    const std::uint32_t rotated = masked - kCrcMaskDelta;
    return (rotated >> 17) | (rotated << 15);
}

}  // namespace kx::records

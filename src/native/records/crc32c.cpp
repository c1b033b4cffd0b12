// CRC-32C: slicing-by-8 tables for any CPU, the CRC32 instruction (three
// interleaved streams on x86-64) where the CPU has it. The tables are built at compile time; the hardware check runs
// once (a function-local static), so every entry point is thread-safe.
#include "records/crc32c.hpp"

#include <array>
#include <cstring>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define KX_CRC32C_X86 1
#include <nmmintrin.h>
#elif defined(__aarch64__) && defined(__ARM_FEATURE_CRC32)
#define KX_CRC32C_ARM 1
#include <arm_acle.h>
#endif

namespace kx::records {
namespace {

constexpr std::uint32_t kPolynomial = 0x82f63b78u;  // reflected Castagnoli polynomial

using Tables = std::array<std::array<std::uint32_t, 256>, 8>;

constexpr Tables make_tables() {
    Tables t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t crc = i;
        for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ ((crc & 1u) ? kPolynomial : 0u);
        t[0][i] = crc;
    }
    for (std::size_t k = 1; k < 8; ++k)
        for (std::size_t i = 0; i < 256; ++i) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xffu];
    return t;
}

constexpr Tables kTables = make_tables();

inline std::uint32_t load_le32(const unsigned char* p) {
    return std::uint32_t(p[0]) | (std::uint32_t(p[1]) << 8) | (std::uint32_t(p[2]) << 16) |
           (std::uint32_t(p[3]) << 24);
}

std::uint32_t portable_raw(std::uint32_t crc, const unsigned char* p, std::size_t n) {
    while (n >= 8) {
        const std::uint32_t lo = load_le32(p) ^ crc;
        const std::uint32_t hi = load_le32(p + 4);
        crc = kTables[7][lo & 0xff] ^ kTables[6][(lo >> 8) & 0xff] ^ kTables[5][(lo >> 16) & 0xff] ^
              kTables[4][lo >> 24] ^ kTables[3][hi & 0xff] ^ kTables[2][(hi >> 8) & 0xff] ^
              kTables[1][(hi >> 16) & 0xff] ^ kTables[0][hi >> 24];
        p += 8;
        n -= 8;
    }
    while (n-- > 0) crc = (crc >> 8) ^ kTables[0][(crc ^ *p++) & 0xffu];
    return crc;
}

#if defined(KX_CRC32C_X86)
__attribute__((target("sse4.2"))) std::uint32_t hardware_serial(std::uint32_t crc, const unsigned char* p,
                                                                 std::size_t n) {
    std::uint64_t c = crc;
    while (n >= 8) {
        std::uint64_t word;
        std::memcpy(&word, p, 8);  // x86 is little-endian; memcpy keeps unaligned loads defined
        c = _mm_crc32_u64(c, word);
        p += 8;
        n -= 8;
    }
    auto c32 = static_cast<std::uint32_t>(c);
    while (n-- > 0) c32 = _mm_crc32_u8(c32, *p++);
    return c32;
}

// The CRC32 instruction has a latency of three cycles and a throughput of
// one, so a single chain of it runs at a third of its speed. Long buffers are
// taken three stripes at a time, each stripe its own chain, and the three
// states are combined: the raw state is linear, so
//   raw(s, A B) = shift(raw(s, A)) ^ raw(0, B),
// where shift advances a state over kStripe zero bytes. shift is a linear map
// of 32 bits, kept as four byte-indexed tables.
constexpr std::size_t kStripe = 1024;

using ShiftTables = std::array<std::array<std::uint32_t, 256>, 4>;

const ShiftTables& stripe_shift() {
    static const ShiftTables tables = [] {
        static const unsigned char zeros[kStripe] = {};
        std::array<std::uint32_t, 32> basis{};
        for (std::size_t i = 0; i < 32; ++i) basis[i] = hardware_serial(1u << i, zeros, kStripe);
        ShiftTables t{};
        for (std::size_t k = 0; k < 4; ++k)
            for (std::size_t b = 0; b < 256; ++b)
                for (std::size_t bit = 0; bit < 8; ++bit)
                    if ((b >> bit) & 1u) t[k][b] ^= basis[8 * k + bit];
        return t;
    }();
    return tables;
}

inline std::uint32_t shift_stripe(const ShiftTables& t, std::uint32_t state) {
    return t[0][state & 0xffu] ^ t[1][(state >> 8) & 0xffu] ^ t[2][(state >> 16) & 0xffu] ^ t[3][state >> 24];
}

__attribute__((target("sse4.2"))) std::uint32_t hardware_raw(std::uint32_t crc, const unsigned char* p,
                                                              std::size_t n) {
    if (n >= 3 * kStripe) {
        const ShiftTables& shift = stripe_shift();
        do {
            std::uint64_t a = crc, b = 0, c = 0;
            for (std::size_t i = 0; i < kStripe; i += 8) {
                std::uint64_t wa, wb, wc;
                std::memcpy(&wa, p + i, 8);
                std::memcpy(&wb, p + kStripe + i, 8);
                std::memcpy(&wc, p + 2 * kStripe + i, 8);
                a = _mm_crc32_u64(a, wa);
                b = _mm_crc32_u64(b, wb);
                c = _mm_crc32_u64(c, wc);
            }
            const std::uint32_t ab = shift_stripe(shift, static_cast<std::uint32_t>(a)) ^ static_cast<std::uint32_t>(b);
            crc = shift_stripe(shift, ab) ^ static_cast<std::uint32_t>(c);
            p += 3 * kStripe;
            n -= 3 * kStripe;
        } while (n >= 3 * kStripe);
    }
    return hardware_serial(crc, p, n);
}

bool detect_hardware() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("sse4.2");
}
#elif defined(KX_CRC32C_ARM)
std::uint32_t hardware_raw(std::uint32_t crc, const unsigned char* p, std::size_t n) {
    while (n >= 8) {
        std::uint64_t word;
        std::memcpy(&word, p, 8);
        crc = __crc32cd(crc, word);
        p += 8;
        n -= 8;
    }
    while (n-- > 0) crc = __crc32cb(crc, *p++);
    return crc;
}

bool detect_hardware() { return true; }  // compiled for a CPU that has the CRC extension
#else
std::uint32_t hardware_raw(std::uint32_t crc, const unsigned char* p, std::size_t n) {
    return portable_raw(crc, p, n);
}

bool detect_hardware() { return false; }
#endif

}  // namespace

bool crc32c_hardware_accelerated() {
    static const bool available = detect_hardware();
    return available;
}

std::uint32_t crc32c_extend_portable(std::uint32_t crc, const void* data, std::size_t size) {
    return ~portable_raw(~crc, static_cast<const unsigned char*>(data), size);
}

std::uint32_t crc32c_extend(std::uint32_t crc, const void* data, std::size_t size) {
    const auto* p = static_cast<const unsigned char*>(data);
    if (crc32c_hardware_accelerated()) return ~hardware_raw(~crc, p, size);
    return ~portable_raw(~crc, p, size);
}

}  // namespace kx::records

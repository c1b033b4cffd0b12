// CRC-32C: published check values, hardware against table path, masking.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "records/crc32c.hpp"

using namespace kx::records;

TEST(Crc32c, KnownValues) {
    const std::string check = "123456789";
    EXPECT_EQ(crc32c(check.data(), check.size()), 0xE3069283u);
    std::vector<unsigned char> zeros(32, 0), ones(32, 0xff), ascending(32);
    for (int i = 0; i < 32; ++i) ascending[static_cast<std::size_t>(i)] = static_cast<unsigned char>(i);
    EXPECT_EQ(crc32c(zeros.data(), zeros.size()), 0x8A9136AAu);
    EXPECT_EQ(crc32c(ones.data(), ones.size()), 0x62A8AB43u);
    EXPECT_EQ(crc32c(ascending.data(), ascending.size()), 0x46DD794Eu);
    EXPECT_EQ(crc32c(nullptr, 0), 0u);
}

TEST(Crc32c, PathsAgreeAtEveryLengthAndAlignment) {
    std::mt19937 rng(7);
    std::vector<unsigned char> data(3 * 3072 + 64);
    for (auto& b : data) b = static_cast<unsigned char>(rng());
    for (std::size_t offset = 0; offset < 8; ++offset)
        // Up to and past whole groups of the three-stripe hardware loop (3 x 1024 bytes).
        for (std::size_t len : {0, 1, 7, 8, 9, 15, 16, 17, 63, 64, 65, 1000, 3071, 3072, 3073, 4096, 6144, 9217})
            ASSERT_EQ(crc32c(data.data() + offset, len), crc32c_extend_portable(0, data.data() + offset, len))
                << "offset " << offset << " length " << len;
}

TEST(Crc32c, ExtendEqualsOneShot) {
    const std::string text = "the quick brown fox jumps over the lazy dog, twice over";
    const std::uint32_t whole = crc32c(text.data(), text.size());
    for (std::size_t split = 0; split <= text.size(); ++split) {
        const std::uint32_t head = crc32c(text.data(), split);
        EXPECT_EQ(crc32c_extend(head, text.data() + split, text.size() - split), whole) << split;
    }
}

TEST(Crc32c, MaskRoundTripsAndDiffers) {
    for (std::uint32_t crc : {0u, 1u, 0xE3069283u, 0xffffffffu, 0x80000000u}) {
        EXPECT_EQ(unmask_crc(mask_crc(crc)), crc);
        EXPECT_EQ(mask_crc(crc), ((crc >> 15) | (crc << 17)) + 0xa282ead8u);
    }
    EXPECT_NE(mask_crc(0x12345678u), 0x12345678u);
}

#include <gtest/gtest.h>

#include <string>

#include "lib/byte_buffer.hpp"

namespace {

constexpr std::size_t kRoom = 160;
constexpr char kUntouched = '#';

std::string source(std::size_t n) {
    std::string s(n + 16, '\0');  // the padding copy_padded may read
    for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + i % 26);
    return s;
}

class Copy : public ::testing::TestWithParam<std::size_t> {};

// Every length through each branch: the first n bytes arrive, and nothing is
// written past the room the contract allows (exactly n for copy_bytes).
TEST_P(Copy, CopiesTheBytesAndStaysInItsRoom) {
    const std::size_t n = GetParam();
    const std::string src = source(n);

    std::string exact(kRoom, kUntouched);
    ferrant::copy_bytes(exact.data(), src.data(), n);
    EXPECT_EQ(exact.substr(0, n), src.substr(0, n));
    EXPECT_EQ(exact.substr(n), std::string(kRoom - n, kUntouched));

    std::string padded(kRoom, kUntouched);
    ferrant::copy_padded(padded.data(), src.data(), n);
    EXPECT_EQ(padded.substr(0, n), src.substr(0, n));
    EXPECT_EQ(padded.substr(n + 16), std::string(kRoom - n - 16, kUntouched));
}

INSTANTIATE_TEST_SUITE_P(Lengths, Copy, ::testing::Range<std::size_t>(0, 100));

}  // namespace

#include "lib/hex_to_decimal.hpp"

#include <gtest/gtest.h>

#include <string>

using ferrant::ByteBuffer;

namespace {

std::string decimal(std::string_view hex) {
    ByteBuffer b;
    b.append("-");
    ferrant::push_decimal_from_hex(b, hex);
    std::string s(b.view());
    EXPECT_EQ(s[0], '-');  // what was in the buffer stays
    return s.substr(1);
}

// The hex digits of a decimal number by schoolbook multiplication: an oracle
// that shares nothing with the conversion under test.
std::string hex_of(std::string_view dec) {
    std::string hex = "0";  // most significant first
    for (const char d : dec) {
        int carry = d - '0';
        for (auto it = hex.rbegin(); it != hex.rend(); ++it) {
            const int v = (*it <= '9' ? *it - '0' : *it - 'a' + 10) * 10 + carry;
            *it = "0123456789abcdef"[v % 16];
            carry = v / 16;
        }
        while (carry) {
            hex.insert(hex.begin(), "0123456789abcdef"[carry % 16]);
            carry /= 16;
        }
    }
    return hex;
}

}  // namespace

TEST(HexToDecimal, KnownValues) {
    EXPECT_EQ(decimal(""), "0");
    EXPECT_EQ(decimal("0"), "0");
    EXPECT_EQ(decimal("00000000000000000"), "0");
    EXPECT_EQ(decimal("ff"), "255");
    EXPECT_EQ(decimal("FF"), "255");
    EXPECT_EQ(decimal("3b9ac9ff"), "999999999");
    EXPECT_EQ(decimal("3b9aca00"), "1000000000");
    EXPECT_EQ(decimal("3b9aca01"), "1000000001");
    EXPECT_EQ(decimal("ffffffff"), "4294967295");
    EXPECT_EQ(decimal("100000000"), "4294967296");
    EXPECT_EQ(decimal("ffffffffffffffff"), "18446744073709551615");
    EXPECT_EQ(decimal("10000000000000001"), "18446744073709551617");
    EXPECT_EQ(decimal("0000100000000000000000000000000000000"),
              "340282366920938463463374607431768211456");
    // 2**521 - 1, a Mersenne prime.
    EXPECT_EQ(decimal("1" + std::string(130, 'f')),
              "686479766013060971498190079908139321726943530014330540939446345918554318339765605"
              "2122559640661454554977296311391480858037121987999716643812574028291115057151");
}

// Powers of ten and their predecessors have every chunk boundary at a known
// place: a chunk written short or a lost zero shows at once.
TEST(HexToDecimal, PowersOfTenAndAllNines) {
    for (int k = 1; k <= 5000; k += (k < 40 ? 1 : 331)) {
        const std::string ten = "1" + std::string(static_cast<std::size_t>(k), '0');
        EXPECT_EQ(decimal(hex_of(ten)), ten) << k;
        const std::string nines(static_cast<std::size_t>(k), '9');
        EXPECT_EQ(decimal(hex_of(nines)), nines) << k;
    }
}

#include "lib/hex_to_decimal.hpp"

#include <cassert>
#include <cstdint>
#include <vector>

#include "lib/digits.hpp"

namespace ferrant {
namespace {

constexpr std::uint32_t kChunk = 1000000000;  // nine decimal digits
constexpr int kChunkDigits = 9;

std::uint32_t hex_value(char c) {
    if (c >= '0' && c <= '9') return static_cast<std::uint32_t>(c - '0');
    if (c >= 'a' && c <= 'f') return static_cast<std::uint32_t>(c - 'a' + 10);
    assert(c >= 'A' && c <= 'F');
    return static_cast<std::uint32_t>(c - 'A' + 10);
}

}  // namespace

void push_decimal_from_hex(ByteBuffer& out, std::string_view hex) {
    // 32-bit limbs, least significant first: eight hex digits each.
    std::vector<std::uint32_t> limbs((hex.size() + 7) / 8);
    for (std::size_t i = 0; i < hex.size(); ++i) {
        const std::size_t from_end = hex.size() - 1 - i;
        limbs[from_end / 8] |= hex_value(hex[i]) << (4 * (from_end % 8));
    }
    while (!limbs.empty() && limbs.back() == 0) limbs.pop_back();
    // Nine digits at a time, least significant first, by long division of
    // the limbs by 10**9: (remainder << 32 | limb) stays below 2**62.
    std::vector<std::uint32_t> chunks;
    chunks.reserve(limbs.size() * 32 / 29 + 1);
    while (!limbs.empty()) {
        std::uint64_t rem = 0;
        for (std::size_t i = limbs.size(); i-- > 0;) {
            const std::uint64_t cur = rem << 32 | limbs[i];
            limbs[i] = static_cast<std::uint32_t>(cur / kChunk);
            rem = cur % kChunk;
        }
        chunks.push_back(static_cast<std::uint32_t>(rem));
        while (!limbs.empty() && limbs.back() == 0) limbs.pop_back();
    }
    if (chunks.empty()) {
        out.push_back('0');
        return;
    }
    out.reserve_extra(chunks.size() * kChunkDigits);
    char* p = digits::write_u64(out.end(), chunks.back());
    for (std::size_t i = chunks.size() - 1; i-- > 0; p += kChunkDigits)
        digits::write_9(p, chunks[i]);
    out.commit(static_cast<std::size_t>(p - out.end()));
}

}  // namespace ferrant

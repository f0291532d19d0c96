#include "lib/surrogate_scan.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

template <class Unit>
bool scalar(const std::vector<Unit>& units) {
    for (const Unit u : units)
        if (u >= 0xD800 && u <= 0xDFFF) return true;
    return false;
}

// Every length up to 11 and every position, with the code points on both
// sides of the surrogate range and the values that only a lane carry or
// borrow could confuse.
template <class Unit>
void every_place(const std::vector<std::uint32_t>& fillers) {
    const std::uint32_t probes[] = {0xD7FF, 0xD800, 0xDBFF, 0xDC00, 0xDFFF, 0xE000, 0x0000,
                                    0xF800, 0x5800, 0xD801};
    for (std::size_t n = 0; n <= 11; ++n)
        for (const std::uint32_t fill : fillers)
            for (std::size_t at = 0; at <= n; ++at)
                for (const std::uint32_t probe : probes) {
                    std::vector<Unit> units(n, static_cast<Unit>(fill));
                    if (at < n) units[at] = static_cast<Unit>(probe);
                    ASSERT_EQ(ferrant::has_surrogate(units.data(), n), scalar(units))
                        << "n=" << n << " at=" << at << " probe=" << probe << " fill=" << fill;
                }
}

}  // namespace

TEST(SurrogateScan, Ucs2) { every_place<std::uint16_t>({0x41, 0x65E5, 0xFFFF, 0xD7FF, 0xE000}); }

TEST(SurrogateScan, Ucs4) {
    every_place<std::uint32_t>({0x41, 0x1F600, 0x10FFFF, 0x1D800, 0xD7FF, 0xE000});
    // A surrogate's bits above the plane are not a surrogate.
    const std::uint32_t above[] = {0x1D800, 0x2DFFF, 0x10D800};
    EXPECT_FALSE(ferrant::has_surrogate(above, 3));
}

// Renders numbers read from stdin so that a driver can compare them with the
// interpreter. Usage: ferrant_render_cli MODE < values
//   i64 u64 oct hex: one decimal integer per line
//   repr fixed6:     one double per line as 16 hex digits of its bit pattern
// One output line per input line; "!" where push_f64_repr declines.

#include <bit>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <iterator>
#include <string>
#include <string_view>

#include "lib/number_render.hpp"

using ferrant::ByteBuffer;

namespace {

template <class T>
bool parse(std::string_view s, T& v, int base) {
    const auto r = std::from_chars(s.data(), s.data() + s.size(), v, base);
    return r.ec == std::errc{} && r.ptr == s.data() + s.size();
}

bool render(std::string_view mode, std::string_view line, ByteBuffer& out) {
    if (mode == "i64" || mode == "oct" || mode == "hex") {
        std::int64_t v;
        if (!parse(line, v, 10)) return false;
        if (mode == "i64")
            ferrant::push_i64(out, v);
        else if (mode == "oct")
            ferrant::push_i64_oct(out, v);
        else
            ferrant::push_i64_hex(out, v);
        return true;
    }
    if (mode == "u64") {
        std::uint64_t v;
        if (!parse(line, v, 10)) return false;
        ferrant::push_u64(out, v);
        return true;
    }
    std::uint64_t bits;
    if (!parse(line, bits, 16)) return false;
    const double d = std::bit_cast<double>(bits);
    if (mode == "repr") {
        if (!ferrant::push_f64_repr(out, d)) out.push_back('!');
        return true;
    }
    if (mode == "fixed6") {
        ferrant::push_f64_fixed6(out, d);
        return true;
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s MODE < values\n", argv[0]);
        return 2;
    }
    const std::string_view mode = argv[1];
    std::ios::sync_with_stdio(false);
    const std::string in{std::istreambuf_iterator<char>(std::cin), {}};
    ByteBuffer out(in.size() * 2 + 64);
    std::size_t pos = 0;
    while (pos < in.size()) {
        std::size_t nl = in.find('\n', pos);
        if (nl == std::string::npos) nl = in.size();
        const std::string_view line(in.data() + pos, nl - pos);
        if (!render(mode, line, out)) {
            std::fprintf(stderr, "bad input for %s: '%.*s'\n", argv[1],
                         static_cast<int>(line.size()), line.data());
            return 2;
        }
        out.push_back('\n');
        pos = nl + 1;
    }
    if (std::fwrite(out.data(), 1, out.size(), stdout) != out.size()) return 1;
    return std::fflush(stdout) == 0 ? 0 : 1;
}

#include "lib/line_builder.hpp"

#include <cmath>

#include "lib/number_render.hpp"

namespace ferrant {

void put_field_key(LineBuilder& b, const LineLayout& layout, std::string_view key) {
    const std::string_view open = layout.field_open, close = layout.field_close;
    b.room(open.size() + key.size() + close.size());
    b.put(open);
    b.put(key);
    b.put(close);
}

void put_quoted_value(LineBuilder& b, std::string_view text, const LineLayout& layout) {
    b.room(text.size() * JSON_ESCAPE_MAX_GROWTH + 2);
    b.put_char('"');
    b.p = escape_for_layout(b.p, text, layout.json);
    b.put_char('"');
}

void put_float_json_word(LineBuilder& b, double v) {
    put_literal(b, std::isnan(v) ? "\"NaN\"" : v > 0 ? "\"Infinity\"" : "\"-Infinity\"");
}

}  // namespace ferrant

#include "binding/py_rendered_fields.hpp"

#include <algorithm>

#include "binding/py_field_keys.hpp"
#include "binding/py_value_render.hpp"

namespace ferrant {

void RenderedFields::seal() {
    static std::uint64_t last = 0;  // GIL held
    id = ++last;
}

namespace {

bool keep_value(PyRef& values, PyObject* value) {
    if (!values && !(values = PyRef::steal(PyList_New(0)))) return false;
    return PyList_Append(values.get(), value) == 0;
}

}  // namespace

bool RenderedFields::copy(const RenderedFields& from, const RenderedField& f) {
    const auto i = static_cast<std::size_t>(&f - from.fields.data());
    if (!keep_value(values, from.value(i))) return false;
    if (!keep_value(keys, PyList_GET_ITEM(from.keys.get(), i))) {
        PyList_SetSlice(values.get(), PyList_GET_SIZE(values.get()) - 1, PY_SSIZE_T_MAX, nullptr);
        return false;
    }
    checked_at = std::min(checked_at, from.checked_at);
    RenderedField c{f.key, {}, {}, f.redacted, f.weak};
    for (unsigned s = 0; s < LineLayout::kSlots; ++s) {
        c.begin[s] = rendered[s].size();
        rendered[s].append(from.rendered[s], f.begin[s], f.end[s] - f.begin[s]);
        c.end[s] = rendered[s].size();
    }
    fields.push_back(std::move(c));
    return true;
}

bool RenderedFields::render(PyObject* key_object, PyObject* value) {
    const LineLayout& text = LineLayout::at(0);
    const LineLayout& json = LineLayout::at(2);
    std::string_view key;
    std::string storage;
    if (!field_key(key_object, key, storage)) return false;
    const int redacted = redacted_key(key_object);
    if (redacted < 0) return false;
    PyObject* written = redacted ? redacted_value() : value;
    ByteBuffer text_field, json_field;
    {
        LineBuilder b(text_field, 64);
        if (put_any_field(b, text, key, written) != Rendered::Done) return false;
        b.finish();
    }
    {
        LineBuilder b(json_field, 64);
        if (put_any_field(b, json, key, written) != Rendered::Done) return false;
        b.finish();
    }
    // The text and colour layouts differ only around the key.
    const std::string_view text_value = text_field.view().substr(
        text.field_open.size() + key.size() + text.field_close.size());
    if (!keep_value(values, value)) return false;
    if (!keep_value(keys, key_object)) {
        PyList_SetSlice(values.get(), PyList_GET_SIZE(values.get()) - 1, PY_SSIZE_T_MAX, nullptr);
        return false;
    }
    checked_at = std::min(checked_at, REDACT_GENERATION);
    RenderedField f{std::string(key), {}, {}, redacted == 1};
    for (unsigned s = 0; s < LineLayout::kSlots; ++s) {
        const LineLayout& layout = LineLayout::at(s);
        std::string& out = rendered[s];
        f.begin[s] = out.size();
        if (layout.json) {
            out.append(json_field.view());
        } else {
            out.append(layout.field_open);
            out.append(key);
            out.append(layout.field_close);
            out.append(text_value);
        }
        f.end[s] = out.size();
    }
    fields.push_back(std::move(f));
    return true;
}

bool RenderedFields::render_again(RenderedFields& out) const {
    for (std::size_t i = 0; i < fields.size(); ++i)
        if (!out.render(PyList_GET_ITEM(keys.get(), i), value(i))) return false;
    if (!out.empty()) out.seal();
    return true;
}

}  // namespace ferrant

#include "binding/py_thresholds.hpp"

#include "binding/py_args.hpp"
#include "binding/py_boundary.hpp"
#include "binding/py_level.hpp"
#include "binding/py_text.hpp"

#include <utility>
#include <vector>

namespace ferrant {

namespace {

ThresholdLink* HEAD = nullptr;
Rank DEFAULT = DEFAULT_RANK;
// (prefix, rank) from set_level, no prefix holding another: a call with a
// shorter prefix replaces the longer ones it covers.
std::vector<std::pair<std::string, Rank>> RULES;

bool starts_with(std::string_view name, std::string_view prefix) {
    return name.substr(0, prefix.size()) == prefix;
}

}  // namespace

void link_threshold(ThresholdLink& link) {
    link.prev = nullptr;
    link.next = HEAD;
    if (HEAD) HEAD->prev = &link;
    HEAD = &link;
}

void unlink_threshold(ThresholdLink& link) {
    if (link.prev) link.prev->next = link.next;
    else if (HEAD == &link) HEAD = link.next;
    if (link.next) link.next->prev = link.prev;
    link.prev = link.next = nullptr;
}

Rank initial_threshold(std::string_view name) {
    const std::pair<std::string, Rank>* best = nullptr;
    for (const auto& rule : RULES)
        if (starts_with(name, rule.first) && (!best || rule.first.size() > best->first.size()))
            best = &rule;
    return best ? best->second : DEFAULT;
}

void set_thresholds(Rank rank, std::optional<std::string_view> prefix) {
    const std::string_view p = prefix.value_or(std::string_view());
    for (ThresholdLink* link = HEAD; link; link = link->next)
        if (starts_with(link->name, p)) *link->level = rank;
    std::erase_if(RULES, [p](const auto& rule) { return starts_with(rule.first, p); });
    if (prefix) RULES.emplace_back(std::string(p), rank);
    else DEFAULT = rank;
}

void set_default_threshold(Rank rank) {
    DEFAULT = rank;
    for (ThresholdLink* link = HEAD; link; link = link->next)
        if (link->follows_default) *link->level = initial_threshold(link->name);
}
Rank default_threshold() { return DEFAULT; }

namespace {

PyObject* set_level(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* names[] = {"level", "prefix", nullptr};
    PyObject* level = nullptr;
    PyObject* prefix = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O:set_level", const_cast<char**>(names),
                                     &level, &prefix))
        return nullptr;
    const std::optional<Rank> rank = rank_from_any_level("set_level", level);
    if (!rank) return nullptr;
    std::optional<std::string_view> text;
    if (prefix != Py_None) {
        if (!PyUnicode_Check(prefix))
            return argument_type_error("set_level", "prefix", "str or None", prefix), nullptr;
        std::string_view view;
        if (!utf8_view(prefix, view)) return nullptr;
        text = view;
    }
    set_thresholds(*rank, text);
    Py_RETURN_NONE;
}

PyObject* set_default_level(PyObject*, PyObject* level) {
    const std::optional<Rank> rank = rank_from_any_level("basic_config", level);
    if (!rank) return nullptr;
    PyObject* previous = Py_NewRef(level_of_rank(default_threshold()));
    set_default_threshold(*rank);
    return previous;
}

}  // namespace

PyMethodDef SET_LEVEL_DEF = {
    "_set_level", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(boundary<set_level>)),
    METH_VARARGS | METH_KEYWORDS, "_set_level(level, prefix=None)\n--\n\n"};

PyMethodDef SET_DEFAULT_LEVEL_DEF = {"_set_default_level", boundary<set_default_level>, METH_O,
                                     "_set_default_level(level)\n--\n\n"};

}  // namespace ferrant

#pragma once

#include <cstdint>

#include "binding/py_ref.hpp"

namespace ferrant {

// Changes of a few dicts, seen at the cost of a compare: on 3.11 the dict's
// version tag, which every change advances; on 3.12 and later, where that
// field is deprecated (and 3.13 leaves it alone for stores into an object's
// inline attributes), a dict watcher that advances an epoch of the dict's role.
enum class DictRole {
    // logging's globals (the record factory): a change voids every route, as
    // a watched attribute store does.
    Way,
    // A logger's _cache: a change voids the level answers taken from caches.
    LevelCache,
};

struct DictStamp {
    PyObject* dict = nullptr;  // borrowed: the stamp's owner holds it
    std::uint64_t mark = 0;
};

// Watches `dict` from now on and stamps it. False with an exception set.
bool stamp_dict(PyObject* dict, DictRole role, DictStamp& out);

// Stamps a dict stamp_dict watches already. GIL held.
inline void restamp(DictStamp& stamp, DictRole role);

// Whether the dict changed since its stamp.
inline bool dict_unchanged(const DictStamp& stamp, DictRole role);

namespace dict_watch_detail {
extern std::uint64_t LEVEL_EPOCH;
}

#if PY_VERSION_HEX >= 0x030C0000

inline void restamp(DictStamp& stamp, DictRole role) {
    // A way change advances the store epoch, which the route table checks.
    stamp.mark = role == DictRole::LevelCache ? dict_watch_detail::LEVEL_EPOCH : 0;
}

inline bool dict_unchanged(const DictStamp& stamp, DictRole role) {
    return role == DictRole::Way || stamp.mark == dict_watch_detail::LEVEL_EPOCH;
}

#else

inline void restamp(DictStamp& stamp, DictRole) {
    stamp.mark = reinterpret_cast<PyDictObject*>(stamp.dict)->ma_version_tag;
}

inline bool dict_unchanged(const DictStamp& stamp, DictRole) {
    return reinterpret_cast<PyDictObject*>(stamp.dict)->ma_version_tag == stamp.mark;
}

#endif

}  // namespace ferrant

// The one-entry caches of the module, keyed by version tags.
//
// An entry remembers what it was computed from: a type and its version tag,
// a dict and its version tag, or both.  The interpreter never reuses a tag,
// so while the tags still match, the entry is exactly what computing it again
// would give, and any change is seen at the next look-up.  The type and the
// dict are compared, never dereferenced unless live.  Entries are module
// state (or live in a function object) and are used with the GIL held.
#pragma once

#include "cpython.hpp"

namespace vp {

template <class Value>
struct TagCache {
    PyTypeObject *type = nullptr;  // NULL: the entry does not depend on a type
    unsigned int type_tag = 0;
    PyObject *dict = nullptr;  // NULL: the entry does not depend on a dict
    uint64_t dict_tag = 0;
    Value value{};

    bool type_hit(PyTypeObject *tp) const noexcept {
        return tp == type && cpython::type_tag_is(tp, type_tag);
    }
    bool dict_hit(PyObject *d) const noexcept {
        return d != nullptr && d == dict && cpython::dict_tag(d) == dict_tag;
    }

    // Remembers `v` for `tp` (with the tag `tag` read before any code ran)
    // and `d` (with `dtag`); either may be NULL.
    void store(PyTypeObject *tp, unsigned int tag, PyObject *d, uint64_t dtag, Value v) noexcept {
        *this = TagCache{tp, tag, d, dtag, v};
    }
    void store_dict(PyObject *d, uint64_t dtag) noexcept {
        dict = d;
        dict_tag = dtag;
    }
    void forget() noexcept { *this = TagCache{}; }
};

}  // namespace vp

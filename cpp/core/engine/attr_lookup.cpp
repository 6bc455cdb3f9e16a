// Which attribute of a tag an attribute name asks for.
#include "engine/internal.hpp"

namespace quelmar {

namespace {

enum class NameFit : unsigned char { None, Local, Exact };

// How `key` (a qualified name as written) answers to `name`: only the
// exact name fits a prefixed `name`; an unprefixed one also takes a key
// whose local part it is, unless the key declares a namespace prefix
// (`xmlns:lang` is no attribute named `lang`).
NameFit fit(Bytes key, Bytes name, bool prefixed) noexcept {
    if (key == name) return NameFit::Exact;
    if (!prefixed && local_name_bytes(key) == name && key.substr(0, 6) != "xmlns:") return NameFit::Local;
    return NameFit::None;
}

}  // namespace

bool find_attr(Bytes tag_content, std::size_t name_len, Bytes name, Encoding encoding, Attribute& out) {
    const bool prefixed = name.find(':') != Bytes::npos;
    AttrIter it(tag_content, name_len);
    Attribute attr;
    // The first attribute found by its local name, kept while an attribute
    // with exactly the name may still follow.
    bool by_local = false;
    while (it.next(attr)) {
        if (attr.error) continue;
        NameFit f;
        if (encoding == Encoding::Utf8) {
            f = fit(attr.key, name, prefixed);
        } else {
            // Attribute names of legacy documents are compared as text.
            const detail::TagName key(attr.key, encoding);
            f = fit(key.text(), name, prefixed);
        }
        if (f == NameFit::Exact) {
            out = attr;
            return true;
        }
        if (f == NameFit::Local && !by_local) {
            out = attr;
            by_local = true;
        }
    }
    return by_local;
}

}  // namespace quelmar

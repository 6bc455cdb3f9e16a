// Element text, attributes and the small helpers around captures.
#include <string>

#include "common/text.hpp"
#include "common/utf8.hpp"
#include "engine/children.hpp"
#include "engine/internal.hpp"
#include "xml/scan.hpp"

namespace quelmar {

std::string EngineError::message() const {
    switch (kind) {
        case Kind::Ambiguous:
            return "path is ambiguous: " + name +
                   " matches multiple elements but the path continues; specify .N (single) or .# (each)";
        case Kind::TooDeep:
            return "path nests filters too deeply for this document (more than " +
                   std::to_string(detail::kMaxFragmentNesting) + " filtered levels)";
    }
    return "engine error";
}

std::string read_text_in_scope(Reader& reader) {
    std::string out;
    read_text_in_scope(reader, out);
    return out;
}

void read_text_in_scope(Reader& reader, std::string& out) {
    // A leaf, the common case, is read with one search.
    Bytes leaf;
    if (reader.skip_leaf(leaf)) {
        std::string scratch;
        Bytes text;
        if (!leaf.empty()) reader.unescape(leaf, scratch, text);
        out.assign(text);
        return;
    }
    out = read_text_events(reader);
}

std::string read_text_events(Reader& reader) {
    std::string out;
    std::string scratch;
    std::size_t depth = 1;
    for (;;) {
        Event ev = reader.read_event();
        switch (ev.kind) {
            case EventKind::Start:
                ++depth;
                break;
            case EventKind::End:
            case EventKind::Error:  // ends the innermost level, as an end tag does
                if (--depth == 0) return out;
                break;
            case EventKind::Text: {
                Bytes text;
                reader.unescape(ev.content, scratch, text);
                out.append(text);
                break;
            }
            case EventKind::CData: {
                // Decoded like any text, but no references.
                Bytes text;
                reader.decode(ev.content, scratch, text);
                out.append(text);
                break;
            }
            case EventKind::Eof:
                return out;
            default:
                break;
        }
    }
}

namespace {

// The text of the first element in `element`, read by a reader over it
// (`leaf_route`: a leaf is taken in one search).
std::string element_text_by_reader(Bytes element, const Coding& coding, bool leaf_route) {
    Reader reader(element, coding);
    for (;;) {
        Event ev = reader.read_event();
        switch (ev.kind) {
            case EventKind::Start: return leaf_route ? read_text_in_scope(reader) : read_text_events(reader);
            case EventKind::Empty:
            case EventKind::Eof: return std::string();
            default: break;
        }
    }
}

}  // namespace

bool utf8_leaf_text(Bytes element, Encoding encoding, Bytes& raw, bool& bare_tag) noexcept {
    if (encoding != Encoding::Utf8 || element.size() < 2 || element[0] != '<' || element[1] == '/' ||
        element[1] == '!' || element[1] == '?' || element[1] == '\0')
        return false;
    const char* b = element.data();
    const char* end = b + element.size();
    const xml_scan::TagScan t = xml_scan::scan_tag(b + 1, end);
    if (t.gt == end || t.gt[-1] == '/') return false;
    const char* lt = xml_scan::find_byte(t.gt + 1, end, '<');
    if (end - lt < 2 || lt[1] != '/') return false;
    raw = Bytes(t.gt + 1, static_cast<std::size_t>(lt - t.gt - 1));
    bare_tag = t.name_end == t.gt;
    return true;
}

XmlSpace tag_xml_space(Bytes tag_content, std::size_t name_len) noexcept {
    if (tag_content.find("xml:space") == Bytes::npos) return XmlSpace::Unset;
    AttrIter attrs(tag_content, name_len);
    Attribute a;
    XmlSpace found = XmlSpace::Unset;
    while (attrs.next(a))
        if (!a.error && a.key == "xml:space") {
            if (a.value == "preserve") found = XmlSpace::Preserve;
            else if (a.value == "default") found = XmlSpace::Default;
        }
    return found;
}

XmlSpace element_xml_space(Bytes element) noexcept {
    // Past a declaration, comments or a DOCTYPE before the element (a
    // whole document's root): the first start tag is the element's.
    std::size_t at = 0;
    for (;;) {
        at = element.find('<', at);
        if (at == Bytes::npos || element.size() - at < 2) return XmlSpace::Unset;
        const char c = element[at + 1];
        if (c != '?' && c != '!' && c != '/') break;
        ++at;
    }
    const char* b = element.data() + at + 1;
    const char* end = element.data() + element.size();
    const xml_scan::TagScan t = xml_scan::scan_tag(b, end);
    const Bytes content(b, static_cast<std::size_t>(t.gt - b));
    return tag_xml_space(content, static_cast<std::size_t>(t.name_end - b));
}

namespace detail {

bool text_keeps_space(Bytes text, bool around, Bytes element) noexcept {
    if (text.empty() || trim_unicode_ws(text).size() == text.size()) return false;
    switch (element_xml_space(element)) {
        case XmlSpace::Preserve: return true;
        case XmlSpace::Default: return false;
        case XmlSpace::Unset: break;
    }
    return around;
}

void push_element_text(ItemSink& out, Bytes text, bool around, Bytes element) {
    out.push_text(text, text_keeps_space(text, around, element));
}

}  // namespace detail

std::string extract_element_text(Bytes element, const Coding& coding) {
    Bytes raw;
    if (utf8_leaf_text(element, coding.encoding, raw)) {
        std::string scratch;
        Bytes text;
        unescape_with(raw, scratch, text, coding.scope);
        return std::string(text);
    }
    return element_text_by_reader(element, coding, true);
}

std::string extract_element_text_by_events(Bytes element, const Coding& coding) {
    return element_text_by_reader(element, coding, false);
}

std::optional<std::string> read_attr(Bytes tag_content, std::size_t name_len, Bytes name, const Coding& coding) {
    const Encoding encoding = coding.encoding;
    Attribute attr;
    if (!find_attr(tag_content, name_len, name, encoding, attr)) return std::nullopt;
    std::string scratch;
    Bytes out;
    if (encoding == Encoding::Utf8) {
        // Invalid UTF-8 stays as it is, for the strict checks of whoever
        // decodes the value.
        unescape_attribute(attr.value, scratch, out, coding.scope);
        return std::string(out);
    }
    // Each malformed sequence of a legacy encoding shows as U+FFFD.
    std::string decoded;
    decode_lossy_to_utf8(encoding, attr.value, decoded);
    unescape_attribute(decoded, scratch, out, coding.scope);
    return out.data() == decoded.data() ? decoded : std::string(out);
}

std::string serialize_empty(Bytes content) {
    std::string s;
    s.reserve(content.size() + 3);
    s.push_back('<');
    s.append(content);
    s.append("/>");
    return s;
}

std::string item_text(const Item& item, Bytes source) {
    switch (item.kind) {
        case Item::Kind::OwnedElement:
            return extract_element_text(item.bytes, Coding(item.encoding, EntityScope{item.entities(), nullptr}));
        case Item::Kind::ElementSpan:
            if (item.start <= item.end && item.end <= source.size())
                return extract_element_text(source.substr(item.start, item.end - item.start), item.encoding);
            return std::string();
        case Item::Kind::Text: return item.bytes;
    }
    return std::string();
}

std::optional<double> parse_item_number(const Item& item, Bytes source) {
    std::string owned;
    Bytes text;
    if (item.kind == Item::Kind::Text) {
        text = item.bytes;
    } else {
        owned = item_text(item, source);
        text = owned;
    }
    if (!utf8_valid(text)) return std::nullopt;
    return parse_decimal_float(trim_unicode_ws(text));
}

namespace detail {

void TagName::decode(Bytes raw, Encoding enc) {
    for (const char c : raw) {
        if (static_cast<unsigned char>(c) >= 0x80) {
            decoded_ = std::make_unique<std::string>();
            if (decode_to_utf8(enc, raw, *decoded_)) name_ = *decoded_;
            return;
        }
    }
}

void consume_to_end(Reader& reader, bool inside_element) {
    // Inside an element this is the skip: it ends the element where the
    // event loops end its level, without building events.
    if (inside_element) {
        (void)reader.read_to_end();
        return;
    }
    for (std::uint64_t at;;)
        if (reader.read_markup_event(at).kind == EventKind::Eof) return;
}

}  // namespace detail
}  // namespace quelmar

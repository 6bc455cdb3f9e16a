#include "xml/wellformed.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <functional>
#include <memory>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "common/interrupt.hpp"
#include "common/hash.hpp"
#include "common/utf8.hpp"
#include "xml/encoding.hpp"
#include "xml/reader.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quelmar {
namespace {

// ---------------------------------------------------------------------------
// Characters

enum : std::uint8_t {
    kNameStart = 1,  // ASCII NameStartChar
    kNameChar = 2,   // ASCII NameChar
    kSpace = 4,      // S
    kPubid = 8,      // PubidChar
    kColon = 16,     // ':'
};

struct AsciiTable {
    std::uint8_t c[256] = {};
    constexpr AsciiTable() {
        for (int i = 'a'; i <= 'z'; ++i) c[i] |= kNameStart | kNameChar | kPubid;
        for (int i = 'A'; i <= 'Z'; ++i) c[i] |= kNameStart | kNameChar | kPubid;
        for (int i = '0'; i <= '9'; ++i) c[i] |= kNameChar | kPubid;
        c[':'] |= kNameStart | kNameChar | kColon;
        c['_'] |= kNameStart | kNameChar;
        c['-'] |= kNameChar;
        c['.'] |= kNameChar;
        for (char w : {' ', '\t', '\r', '\n'}) c[static_cast<unsigned char>(w)] |= kSpace;
        for (char q : {' ', '\r', '\n', '-', '\'', '(', ')', '+', ',', '.', '/', ':', '=', '?', ';', '!', '*', '#',
                       '@', '$', '_', '%'})
            c[static_cast<unsigned char>(q)] |= kPubid;
    }
};
constexpr AsciiTable kAscii{};

inline bool is_space(int ch) noexcept { return ch >= 0 && (kAscii.c[ch] & kSpace); }

bool name_start_cp(char32_t c) noexcept {
    if (c < 0x80) return kAscii.c[c] & kNameStart;
    return (c >= 0xC0 && c <= 0xD6) || (c >= 0xD8 && c <= 0xF6) || (c >= 0xF8 && c <= 0x2FF) ||
           (c >= 0x370 && c <= 0x37D) || (c >= 0x37F && c <= 0x1FFF) || (c >= 0x200C && c <= 0x200D) ||
           (c >= 0x2070 && c <= 0x218F) || (c >= 0x2C00 && c <= 0x2FEF) || (c >= 0x3001 && c <= 0xD7FF) ||
           (c >= 0xF900 && c <= 0xFDCF) || (c >= 0xFDF0 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0xEFFFF);
}

bool name_cp(char32_t c) noexcept {
    if (c < 0x80) return kAscii.c[c] & kNameChar;
    return name_start_cp(c) || c == 0xB7 || (c >= 0x300 && c <= 0x36F) || (c >= 0x203F && c <= 0x2040);
}

// Decodes one UTF-8 sequence at p (strictly: no overlong forms, surrogates
// or values past U+10FFFF). Returns its length, or 0 when it is malformed.
inline int decode_utf8(const unsigned char* p, const unsigned char* end, char32_t& cp) noexcept {
    const unsigned char c0 = p[0];
    if (c0 < 0x80) {
        cp = c0;
        return 1;
    }
    auto cont = [&](std::ptrdiff_t i) { return p + i < end && (p[i] & 0xC0) == 0x80; };
    if (c0 >= 0xC2 && c0 <= 0xDF) {
        if (!cont(1)) return 0;
        cp = (char32_t(c0 & 0x1F) << 6) | (p[1] & 0x3F);
        return 2;
    }
    if (c0 >= 0xE0 && c0 <= 0xEF) {
        if (!cont(1) || !cont(2)) return 0;
        if (c0 == 0xE0 && p[1] < 0xA0) return 0;
        if (c0 == 0xED && p[1] >= 0xA0) return 0;
        cp = (char32_t(c0 & 0x0F) << 12) | (char32_t(p[1] & 0x3F) << 6) | (p[2] & 0x3F);
        return 3;
    }
    if (c0 >= 0xF0 && c0 <= 0xF4) {
        if (!cont(1) || !cont(2) || !cont(3)) return 0;
        if (c0 == 0xF0 && p[1] < 0x90) return 0;
        if (c0 == 0xF4 && p[1] >= 0x90) return 0;
        cp = (char32_t(c0 & 0x07) << 18) | (char32_t(p[1] & 0x3F) << 12) | (char32_t(p[2] & 0x3F) << 6) |
             (p[3] & 0x3F);
        return 4;
    }
    return 0;
}

// The first byte at or after p that is one of `Cs`, a control byte other
// than TAB, LF and CR, or a byte from 0x80 up (the start of a character to
// decode); n when there is none (p when it is past n). Thirty-two bytes at
// a time.
template <char... Cs>
inline std::size_t find_stop(const unsigned char* s, std::size_t p, std::size_t n) noexcept {
#if defined(__SSE2__)
    const __m128i v20 = _mm_set1_epi8(0x20), v9 = _mm_set1_epi8(0x9), vA = _mm_set1_epi8(0xA),
                  vD = _mm_set1_epi8(0xD);
    auto block = [&](const unsigned char* q) -> unsigned {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
        __m128i sp = _mm_setzero_si128();
        ((sp = _mm_or_si128(sp, _mm_cmpeq_epi8(x, _mm_set1_epi8(Cs)))), ...);
        // Signed: bytes from 0x80 up are negative, so below 0x20 as well.
        const __m128i low = _mm_cmplt_epi8(x, v20);
        const __m128i ws = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(x, v9), _mm_cmpeq_epi8(x, vA)),
                                        _mm_cmpeq_epi8(x, vD));
        return static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(sp, _mm_andnot_si128(ws, low))));
    };
    while (p + 32 <= n) {
        const unsigned m0 = block(s + p);
        if (m0) return p + static_cast<std::size_t>(__builtin_ctz(m0));
        const unsigned m1 = block(s + p + 16);
        if (m1) return p + 16 + static_cast<std::size_t>(__builtin_ctz(m1));
        p += 32;
    }
    while (p + 16 <= n) {
        const unsigned m = block(s + p);
        if (m) return p + static_cast<std::size_t>(__builtin_ctz(m));
        p += 16;
    }
#endif
    for (; p < n; ++p) {
        const unsigned char ch = s[p];
        if (((ch == static_cast<unsigned char>(Cs)) || ...) || ch >= 0x80 ||
            (ch < 0x20 && ch != 9 && ch != 10 && ch != 13))
            return p;
    }
    return p;
}

constexpr std::string_view kXmlNs = "http://www.w3.org/XML/1998/namespace";
constexpr std::string_view kXmlnsNs = "http://www.w3.org/2000/xmlns/";

// Four bytes as the little-endian word a load of them gives.
constexpr std::uint32_t word(const char (&s)[5]) noexcept {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(s[0])) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(s[1])) << 8 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(s[2])) << 16 |
           static_cast<std::uint32_t>(static_cast<unsigned char>(s[3])) << 24;
}

bool is_predefined(Bytes name) noexcept {
    return name == "lt" || name == "gt" || name == "amp" || name == "apos" || name == "quot";
}

// A name as a message shows it: whole up to 100 bytes, else its first
// characters and "..." (a name can be as long as the document).
std::string shown(Bytes s) {
    if (s.size() <= 100) return std::string(s);
    std::size_t cut = 96;
    while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80) --cut;
    return std::string(s.substr(0, cut)) + "...";
}

std::string quoted(Bytes s) { return "'" + shown(s) + "'"; }

// ---------------------------------------------------------------------------
// Declarations

enum Ctx : int { kContent = 0, kAttr = 1 };
enum class Verdict : std::uint8_t { Unknown, InProgress, Ok, Bad };

// A general entity reference in a replacement text, and where it stands: an
// entity used in content may refer to others from its attribute values.
struct Ref {
    std::string name;
    Ctx ctx;
};

struct Entity {
    std::string name;
    std::string text;  // replacement text of an internal entity
    bool external = false;
    bool unparsed = false;
    Verdict verdict[2] = {Verdict::Unknown, Verdict::Unknown};
    std::string error[2];
    std::vector<Ref> refs[2];  // what its replacement text refers to, when used in content / in a value
};

struct Dtd {
    bool has_doctype = false;
    bool external_subset = false;
    bool pe_refs = false;
    bool standalone = false;
    bool skip_decls = false;  // after a parameter-entity reference that was not read
    std::unordered_map<std::string, Entity, KeyedHash, std::equal_to<>> entities;
    std::unordered_set<std::string, KeyedHash, std::equal_to<>> parameter_entities;
    // Attribute defaults namespace processing must see (declarations and
    // prefixed names): element name -> (attribute name, value), and the
    // names, to keep the first declaration of each.
    struct NsDefaults {
        std::vector<std::pair<std::string, std::string>> list;
        std::vector<std::size_t> declarations;  // where in `list` the xmlns and xmlns:p ones are
        std::unordered_set<std::string, KeyedHash, std::equal_to<>> names;
    };
    std::unordered_map<std::string, NsDefaults, KeyedHash, std::equal_to<>> ns_defaults;

    // Whether an undeclared general entity is an error (and not something
    // an unread declaration may define).
    bool must_declare() const noexcept { return !has_doctype || (!external_subset && !pe_refs) || standalone; }
};

// How the checker treats the encoding an XML declaration names.
enum class EncodingMode : std::uint8_t {
    Raw,      // UTF-8 bytes as given: a declared UTF-8 continues, another encoding asks for decoding
    Decoded,  // the UTF-8 form of a document decoded from what it declares
    Utf16,    // the UTF-8 form of a UTF-16 document: the declaration must say UTF-16
    Text,     // decoded text: the declaration is not obeyed
};

struct Failure {
    WfCode code;
    std::string message;
    std::size_t at;
};

// A name the check keeps past the piece of the document it was read from
// (a document checked piece by piece): eight bytes of slack, as an end tag
// compares the last bytes of a name eight at a time.
struct OwnedName {
    std::unique_ptr<char[]> bytes;
    OwnedName() = default;
    explicit OwnedName(Bytes s) : bytes(new char[s.size() + 8]()) {
        if (!s.empty()) std::memcpy(bytes.get(), s.data(), s.size());
    }
};

struct Attr {
    Bytes name;
    Bytes value;
    std::size_t at;
    bool amp;
};

struct Binding {
    Bytes prefix;
    std::uint32_t uri;  // the namespace name's number (Checker::uri_id)
    std::int64_t prev;  // the binding it hides, or -1
};

// An attribute's expanded name: its namespace name's number and its local
// name. Hashed with the keyed hash of the local name, so one long namespace
// name costs nothing per attribute.
struct Expanded {
    std::uint32_t uri;
    Bytes local;
    bool operator==(const Expanded&) const = default;
};
struct ExpandedHash {
    std::size_t operator()(const Expanded& e) const noexcept {
        return static_cast<std::size_t>(keyed_hash(e.local) ^ (std::uint64_t{e.uri} * 0x9E3779B97F4A7C15ULL));
    }
};

// What the prefixed attribute defaults of one element come to under the
// bindings in force when they were last looked at (`state`): whether
// their prefixes are bound and their expanded names distinct, and those
// names (to the attribute names), which a tag's own prefixed attributes
// must not repeat.
struct DefaultsVerdict {
    std::uint64_t state = 0;
    bool known = false;
    bool ok = false;
    std::unordered_map<Expanded, Bytes, ExpandedHash> expanded;
};

struct Open {
    Bytes name;
    std::size_t bindings;  // bindings in force before the element
};

// The stacks a check grows as it goes, kept by a thread from one check to
// the next: a record stream checks every record on its own, and growing
// them afresh each time cost it a handful of allocations per record.
struct Scratch {
    std::vector<Attr> attrs;
    std::vector<Open> open;
    std::vector<Binding> bindings;
    // What is kept: a check that grew them further lets the rest go.
    static constexpr std::size_t kKeep = 1024;
};

class Checker {
public:
    Checker(Bytes buf, Dtd& dtd, EncodingMode mode) noexcept
        : b_(ubegin(buf)), n_(buf.size()), src_(buf), dtd_(dtd), mode_(mode),
          check_at_(next_interrupt_check(0, buf.size())) {}

    // The whole document. True when well formed; `switch_to` is set when
    // the declaration names an encoding the document must be decoded from.
    bool document();
    // Replacement text of an internal entity referenced in content: a
    // balanced run of content; the entities it refers to go to `refs`.
    bool entity_content(std::vector<Ref>& refs);

    std::optional<Failure> failure;
    std::optional<Encoding> switch_to;

    // Starts with the (empty) stacks of `s`, and hands them back emptied.
    void take(Scratch& s) noexcept {
        attrs_.swap(s.attrs);
        open_.swap(s.open);
        bindings_.swap(s.bindings);
    }
    void give_back(Scratch& s) noexcept {
        auto put = [](auto& mine, auto& kept) {
            if (mine.capacity() > Scratch::kKeep || mine.capacity() <= kept.capacity()) return;
            mine.clear();
            mine.swap(kept);
        };
        put(attrs_, s.attrs);
        put(open_, s.open);
        put(bindings_, s.bindings);
    }
    // The document is an element cut from a larger one: a prefix may be
    // bound by an ancestor it does not hold (any prefix, or, given
    // `outer_prefixes`, those).
    bool outer_bindings = false;
    const PrefixSet* outer_prefixes = nullptr;
    bool bound_outside(Bytes prefix) const noexcept {
        if (!outer_bindings) return false;
        if (outer_prefixes == nullptr) return true;
        return outer_prefixes->find(prefix) != outer_prefixes->end();
    }

    // A document checked piece by piece (WellFormedStream). The check then
    // runs over a window of it that need not end where the document does
    // (`final_` false): whatever the window's end decided (a look past it,
    // a failure at it) makes `more_` true and sends the check back to
    // `commit_`, the start of the token it was in, to go on with more
    // bytes. The XML declaration, the prolog and the DOCTYPE are checked
    // again from the start until they are whole; then the root's content
    // token by token, and what follows the root.
    bool prolog();
    bool epilog();
    bool root_content() { return content(false); }
    // Starts again at `p` of a new window `buf`.
    void rebase(Bytes buf, std::size_t p, bool final) noexcept {
        b_ = ubegin(buf);
        n_ = buf.size();
        src_ = buf;
        p_ = p;
        final_ = final;
        past_end_ = false;
        more_ = false;
        failure.reset();
        check_at_ = next_interrupt_check(p_, n_);
    }
    // Where the check goes on with more bytes: the token it was in when
    // it first looked past the window's end, or at it.
    std::size_t resume_at() const noexcept { return past_end_ ? end_commit_ : commit_; }
    // Copies the names still in use that lie in [lo, hi) (the window about
    // to move) into storage of their own.
    void own_names(const char* lo, const char* hi);
    std::size_t position() const noexcept { return p_; }
    bool final_ = true;
    mutable bool past_end_ = false;
    bool more_ = false;
    std::size_t commit_ = 0;      // the start of the token the check is in
    mutable std::size_t end_commit_ = 0;  // commit_ when past_end_ was set

private:
    const unsigned char* b_;
    std::size_t n_;
    Bytes src_;
    std::size_t p_ = 0;
    Dtd& dtd_;
    EncodingMode mode_;
    std::size_t check_at_;  // the next interrupt check (common/interrupt.hpp), or n_
    std::vector<Ref>* refs_ = nullptr;  // entity content: collect references instead of resolving
    bool colon_ = false;                        // the last name read holds a ':'

    std::vector<Open> open_;
    std::vector<Binding> bindings_;
    // The names of the first open elements and bindings, copied out of
    // windows gone by (a document checked piece by piece).
    std::vector<OwnedName> owned_open_;
    std::vector<OwnedName> owned_bindings_;
    std::size_t bindings_low_ = 0;  // the fewest bindings since names were last copied
    std::unordered_map<Bytes, std::int64_t, KeyedHash, std::equal_to<>> scope_;
    std::vector<Attr> attrs_;
    std::unordered_set<Bytes, KeyedHash, std::equal_to<>> seen_;
    std::unordered_set<Expanded, ExpandedHash> seen_expanded_;
    std::vector<Bytes> defaulted_;  // prefixed attributes a tag takes from declared defaults
    // Namespace names numbered from 1 (0: unbound), so that bindings and
    // expanded names hold a number, not a copy of the name.
    std::unordered_map<std::string, std::uint32_t, KeyedHash, std::equal_to<>> uri_ids_;
    // The prefixes attribute defaults use or declare, and a keyed hash of
    // their bindings in force (a XOR of one term per prefix), which tells
    // when a verdict on an element's defaults still holds.
    std::unordered_set<Bytes, KeyedHash, std::equal_to<>> default_prefixes_;
    bool default_prefixes_made_ = false;
    std::uint64_t ns_state_ = 0;
    // Per element, verdicts under the last few states of the bindings
    // (tags that bind a prefix one way and another in turn find theirs).
    struct Verdicts {
        DefaultsVerdict v[4];
        std::size_t next = 0;  // the one replaced next
    };
    std::unordered_map<Bytes, Verdicts, KeyedHash, std::equal_to<>> verdicts_;

    int at(std::size_t i) const noexcept {
        if (i < n_) [[likely]]
            return b_[i];
        looked_past();
        return -1;
    }
    void looked_past() const noexcept {
        if (!past_end_) {
            past_end_ = true;
            end_commit_ = commit_;
        }
    }
    bool starts(std::size_t i, std::string_view lit) const noexcept {
        if (n_ - std::min(i, n_) >= lit.size()) [[likely]]
            return std::memcmp(b_ + i, lit.data(), lit.size()) == 0;
        // Short: what the window holds may still be the literal's start.
        const std::size_t have = n_ - std::min(i, n_);
        if (have == 0 || std::memcmp(b_ + std::min(i, n_), lit.data(), have) == 0) looked_past();
        return false;
    }
    // The window's end is not the document's: go on from `commit_` with
    // more bytes.
    bool need_more() noexcept {
        more_ = true;
        return false;
    }
    bool commit() noexcept {
        if (past_end_) [[unlikely]]
            return need_more();
        commit_ = p_;
        return true;
    }
    // [from, to) of the input (from <= to <= n_: no bounds to check).
    Bytes view(std::size_t from, std::size_t to) const noexcept { return Bytes(src_.data() + from, to - from); }

    [[gnu::cold, gnu::noinline]] bool fail(WfCode code, std::string message, std::size_t where) {
        if (!failure) {
            failure = Failure{code, std::move(message), where};
            // In a window that is not the whole document, a failure the
            // window's end may have caused is no answer yet: every look
            // at a byte past it is recorded, and every scan stopped by
            // it leaves p_ within a character of it.
            if (!final_ && (past_end_ || p_ + kWindowSlack >= n_)) more_ = true;
        }
        return false;
    }
    static constexpr std::size_t kWindowSlack = 16;
    [[gnu::cold, gnu::noinline]] bool invalid_token(std::size_t where) {
        return fail(WfCode::Syntax, "not well-formed (invalid token)", where);
    }
    [[gnu::cold, gnu::noinline]] bool unclosed(std::size_t where) { return fail(WfCode::Unclosed, "unclosed token", where); }
    // At check_at_ before the end: false when the check is to stop (an
    // interrupt, whose answer the caller throws away).
    [[gnu::cold, gnu::noinline]] bool keep_going() {
        if (interrupt_requested()) return fail(WfCode::Syntax, "interrupted", p_);
        check_at_ = next_interrupt_check(p_, n_);
        return true;
    }

    bool skip_space() noexcept {
        const std::size_t s = p_;
        while (p_ < n_ && (kAscii.c[b_[p_]] & kSpace)) ++p_;
        return p_ != s;
    }
    bool need_space() {
        if (skip_space()) return true;
        return p_ >= n_ ? unclosed(p_) : invalid_token(p_);
    }
    [[gnu::always_inline]] bool expect(char ch) {
        if (p_ < n_ && b_[p_] == static_cast<unsigned char>(ch)) [[likely]] {
            ++p_;
            return true;
        }
        return missing();
    }
    [[gnu::noinline]] bool missing() { return p_ >= n_ ? unclosed(p_) : invalid_token(p_); }

    template <char... Cs>
    bool chars();
    // A name from p_ (p_ is left past it); `colon_` says whether it holds
    // a ':', so namespace processing can pass over plain names. ASCII
    // names shorter than sixteen bytes (nearly all) take sixteen bytes at
    // once here, the rest name_slow.
    [[gnu::always_inline]] bool name(Bytes& out) {
#if defined(__SSE2__)
        if (p_ + 16 <= n_ && (kAscii.c[b_[p_]] & kNameStart)) {
            // Letters (either case: OR 0x20 folds 'A'-'Z' onto 'a'-'z' and
            // nothing else onto them), '-' to ':' but '/' (that is '-', '.',
            // digits and ':') and '_' go on; the first other byte ends the
            // name, unless it is from 0x80 up.
            const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b_ + p_));
            auto in_range = [](__m128i v, char lo, int count) {
                const __m128i t = _mm_add_epi8(v, _mm_set1_epi8(static_cast<char>(-128 - lo)));
                return _mm_cmplt_epi8(t, _mm_set1_epi8(static_cast<char>(-128 + count)));
            };
            const __m128i colon = _mm_cmpeq_epi8(x, _mm_set1_epi8(':'));
            const __m128i letter = in_range(_mm_or_si128(x, _mm_set1_epi8(0x20)), 'a', 26);
            const __m128i punct = _mm_andnot_si128(_mm_cmpeq_epi8(x, _mm_set1_epi8('/')), in_range(x, '-', 14));
            const __m128i ok = _mm_or_si128(_mm_or_si128(letter, punct), _mm_cmpeq_epi8(x, _mm_set1_epi8('_')));
            const unsigned stop = ~static_cast<unsigned>(_mm_movemask_epi8(ok)) & 0xFFFFu;
            if (stop != 0) [[likely]] {
                const unsigned len = static_cast<unsigned>(__builtin_ctz(stop));
                const unsigned high = static_cast<unsigned>(_mm_movemask_epi8(x));  // bytes from 0x80 up
                if (((high >> len) & 1u) == 0) [[likely]] {
                    colon_ = (static_cast<unsigned>(_mm_movemask_epi8(colon)) & ((1u << len) - 1)) != 0;
                    out = view(p_, p_ + len);
                    p_ += len;
                    return true;
                }
            }
        }
#endif
        return name_slow(out);
    }
    [[gnu::noinline]] bool name_slow(Bytes& out);
    bool nmtoken();
    bool char_ref(char32_t& cp);
    bool reference(Ctx ctx);
    bool resolve(Bytes name, std::size_t where, Ctx ctx);
    std::string verdict(Entity& e, Ctx ctx);
    bool local_check(Entity& e, Ctx ctx);

    bool content(bool in_entity);
    bool start_tag(bool in_entity, bool& empty);
    bool end_tag(bool in_entity);
    bool namespaces(Bytes elem, std::size_t tag_at, bool in_entity);
    bool bind(Bytes prefix, std::string uri, std::size_t where);
    std::uint32_t uri_id(std::string_view uri);
    std::uint64_t state_term(Bytes prefix, std::uint32_t uri) const;
    void rebound(Bytes prefix, std::uint32_t from, std::uint32_t to);
    std::optional<Expanded> expanded(Bytes prefix, Bytes local);
    DefaultsVerdict& defaults_verdict(Bytes elem, const std::vector<std::pair<std::string, std::string>>& list);
    std::optional<std::int64_t> lookup(Bytes prefix) const;
    bool qname(Bytes q, std::size_t where, Bytes& prefix, Bytes& local);
    bool qualified_name(Bytes& out);
    bool ncname(Bytes& out, std::string_view what);
    void unbind(std::size_t mark);
    std::string attr_uri(const Attr& a);

    bool comment();
    bool pi(bool doc_start);
    bool cdata();
    bool xml_decl();
    bool misc_until_root();
    bool doctype();
    bool internal_subset();
    bool element_decl();
    bool attlist_decl();
    bool entity_decl();
    bool notation_decl();
    bool external_id(bool public_alone);
    bool literal(bool pubid, std::size_t& from, std::size_t& to);
    bool att_value(bool resolve_refs);
    bool entity_value(std::string& text);
};

// Text characters from p_ up to the first of `Cs` (p_ is left on it) or
// the end of the input. Anything that is not a Char fails.
template <char... Cs>
bool Checker::chars() {
    while (true) {
        p_ = find_stop<Cs...>(b_, p_, check_at_);
        if (p_ >= check_at_) [[unlikely]] {
            if (p_ >= n_) return true;
            if (!keep_going()) return false;
            continue;
        }
        const unsigned char ch = b_[p_];
        if (ch < 0x80) {
            if (ch < 0x20) return fail(WfCode::InvalidChar, "not well-formed (invalid token)", p_);
            return true;
        }
        // A run of non-ASCII text, decoded a character at a time.
        while (p_ < n_ && b_[p_] >= 0x80) {
            if (b_[p_] >= 0xC2 && b_[p_] <= 0xDF && p_ + 1 < n_ && (b_[p_ + 1] & 0xC0) == 0x80) {
                p_ += 2;  // two bytes: every well-formed one is a Char
                continue;
            }
            char32_t cp;
            const int len = decode_utf8(b_ + p_, b_ + n_, cp);
            if (len == 0 || (cp >= 0xFFFE && cp <= 0xFFFF))
                return fail(WfCode::InvalidChar, "not well-formed (invalid token)", p_);
            p_ += static_cast<std::size_t>(len);
        }
    }
}

// Names in the slow way: short of sixteen bytes of input, or a name that
// holds a byte from 0x80 up or is sixteen bytes long or more.
bool Checker::name_slow(Bytes& out) {
    const std::size_t s = p_;
    if (p_ < n_ && (kAscii.c[b_[p_]] & kNameStart)) {
        std::uint8_t acc = kAscii.c[b_[p_++]];
        while (p_ < n_) {
            const std::uint8_t k = kAscii.c[b_[p_]];
            if (!(k & kNameChar)) break;
            acc |= k;
            ++p_;
        }
        colon_ = (acc & kColon) != 0;
        if (p_ >= n_ || b_[p_] < 0x80) {
            out = view(s, p_);
            return true;
        }
    }
    bool first = p_ == s;
    while (p_ < n_) {
        const unsigned char ch = b_[p_];
        if (ch < 0x80) {
            if (!(kAscii.c[ch] & (first ? kNameStart : kNameChar))) break;
            ++p_;
        } else {
            char32_t cp;
            const int len = decode_utf8(b_ + p_, b_ + n_, cp);
            if (len == 0) return fail(WfCode::InvalidChar, "not well-formed (invalid token)", p_);
            if (!(first ? name_start_cp(cp) : name_cp(cp))) break;
            p_ += static_cast<std::size_t>(len);
        }
        first = false;
    }
    if (p_ == s) return p_ >= n_ ? unclosed(p_) : invalid_token(p_);
    out = view(s, p_);
    colon_ = out.find(':') != Bytes::npos;
    return true;
}

bool Checker::nmtoken() {
    const std::size_t s = p_;
    while (p_ < n_) {
        char32_t cp;
        const int len = decode_utf8(b_ + p_, b_ + n_, cp);
        if (len == 0 || !name_cp(cp)) break;
        p_ += static_cast<std::size_t>(len);
    }
    if (p_ == s) return p_ >= n_ ? unclosed(p_) : invalid_token(p_);
    return true;
}

// A character reference from its '&' at p_ (p_[1] == '#'); p_ ends past ';'.
bool Checker::char_ref(char32_t& cp) {
    const std::size_t s = p_;
    p_ += 2;
    std::uint32_t v = 0;
    bool any = false;
    if (at(p_) == 'x') {
        ++p_;
        while (p_ < n_) {
            const unsigned char ch = b_[p_];
            int d;
            if (ch >= '0' && ch <= '9') d = ch - '0';
            else if (ch >= 'a' && ch <= 'f') d = ch - 'a' + 10;
            else if (ch >= 'A' && ch <= 'F') d = ch - 'A' + 10;
            else break;
            v = v * 16 + static_cast<std::uint32_t>(d);
            if (v > 0x10FFFF) v = 0x110000;
            any = true;
            ++p_;
        }
    } else {
        while (p_ < n_ && b_[p_] >= '0' && b_[p_] <= '9') {
            v = v * 10 + static_cast<std::uint32_t>(b_[p_] - '0');
            if (v > 0x10FFFF) v = 0x110000;
            any = true;
            ++p_;
        }
    }
    if (!any || at(p_) != ';') return p_ >= n_ ? unclosed(p_) : invalid_token(p_);
    ++p_;
    cp = v;
    if (!is_xml_char(cp)) return fail(WfCode::InvalidChar, "reference to invalid character number", s);
    return true;
}

// A reference from its '&' at p_, in content or in an attribute value.
bool Checker::reference(Ctx ctx) {
    const std::size_t s = p_;
    if (at(p_ + 1) == '#') {
        char32_t cp;
        return char_ref(cp);
    }
    // The five predefined entities (nearly every reference) without reading
    // a name: "&amp;", "&lt;", "&gt;", "&quot;", "&apos;".
    if (n_ - p_ >= 6) {
        std::uint32_t w;
        std::memcpy(&w, b_ + p_ + 1, 4);
        const std::uint32_t w3 = w & 0xFFFFFFu;
        if (w == word("amp;")) {
            p_ += 5;
            return true;
        }
        if (w3 == word("lt;\0") || w3 == word("gt;\0")) {
            p_ += 4;
            return true;
        }
        if ((w == word("quot") || w == word("apos")) && b_[p_ + 5] == ';') {
            p_ += 6;
            return true;
        }
    }
    ++p_;
    Bytes nm;
    if (!name(nm)) return false;
    if (at(p_) != ';') return p_ >= n_ ? unclosed(p_) : invalid_token(p_);
    ++p_;
    if (is_predefined(nm)) return true;
    if (refs_) {
        refs_->push_back({std::string(nm), ctx});
        return true;
    }
    return resolve(nm, s, ctx);
}

bool Checker::resolve(Bytes nm, std::size_t where, Ctx ctx) {
    auto it = dtd_.entities.find(nm);
    if (it == dtd_.entities.end()) {
        if (dtd_.must_declare()) return fail(WfCode::UndefinedEntity, "undefined entity " + quoted(nm), where);
        return true;
    }
    Entity& e = it->second;
    if (e.unparsed) return fail(WfCode::EntityUse, "reference to unparsed entity " + quoted(nm), where);
    if (e.external) {
        if (ctx == kAttr)
            return fail(WfCode::EntityUse, "reference to external entity " + quoted(nm) + " in attribute", where);
        return true;
    }
    std::string msg = verdict(e, ctx);
    if (!msg.empty()) return fail(WfCode::EntityUse, std::move(msg), where);
    return true;
}

// Checks the replacement text of `e` on its own (not the entities it refers
// to), filling its references for `ctx`. Sets the verdict to Bad with the
// reason when it fails.
bool Checker::local_check(Entity& e, Ctx ctx) {
    Dtd& dtd = dtd_;
    Checker sub(e.text, dtd, EncodingMode::Text);
    bool ok;
    if (ctx == kContent) {
        ok = sub.entity_content(e.refs[ctx]);
    } else {
        sub.refs_ = &e.refs[ctx];
        ok = true;
        while (ok) {
            sub.p_ = find_stop<'<', '&'>(sub.b_, sub.p_, sub.n_);
            if (sub.p_ >= sub.n_) break;
            const unsigned char ch = sub.b_[sub.p_];
            if (ch == '<') {
                ok = sub.fail(WfCode::EntityUse, "'<' in attribute value", sub.p_);
            } else if (ch == '&') {
                ok = sub.reference(kAttr);
            } else {
                ++sub.p_;  // characters were checked when the entity was declared
            }
        }
    }
    if (!ok) {
        e.verdict[ctx] = Verdict::Bad;
        e.error[ctx] = sub.failure ? sub.failure->message : std::string("not well-formed");
        e.error[ctx] += " (in entity " + quoted(e.name) + ")";
    }
    return ok;
}

// The verdict on an internal entity used in `ctx`: its replacement text and
// those of every entity it refers to, directly or not, checked once each per
// context. An explicit stack: a chain of entities can be as long as the
// subset.
std::string Checker::verdict(Entity& root, Ctx root_ctx) {
    if (root.verdict[root_ctx] == Verdict::Ok) return {};
    if (root.verdict[root_ctx] == Verdict::Bad) return root.error[root_ctx];
    struct Frame {
        Entity* e;
        Ctx ctx;
        std::size_t next;
    };
    std::vector<Frame> stack;
    auto enter = [&](Entity& e, Ctx ctx) {
        if (!local_check(e, ctx)) return false;
        e.verdict[ctx] = Verdict::InProgress;
        stack.push_back({&e, ctx, 0});
        return true;
    };
    if (!enter(root, root_ctx)) return root.error[root_ctx];
    while (!stack.empty()) {
        Frame& top = stack.back();
        Entity* e = top.e;
        const Ctx ctx = top.ctx;
        if (top.next == e->refs[ctx].size()) {
            e->verdict[ctx] = Verdict::Ok;
            stack.pop_back();
            continue;
        }
        const Ref& ref = e->refs[ctx][top.next++];
        const std::string& rn = ref.name;
        const Ctx rc = ref.ctx;
        std::string msg;
        auto it = dtd_.entities.find(rn);
        if (it == dtd_.entities.end()) {
            if (dtd_.must_declare()) msg = "undefined entity " + quoted(rn);
        } else {
            Entity& d = it->second;
            if (d.unparsed) {
                msg = "reference to unparsed entity " + quoted(rn);
            } else if (d.external) {
                if (rc == kAttr) msg = "reference to external entity " + quoted(rn) + " in attribute";
            } else if (d.verdict[rc] == Verdict::InProgress) {
                msg = "recursive entity reference " + quoted(rn);
            } else if (d.verdict[rc] == Verdict::Bad) {
                msg = d.error[rc];
            } else if (d.verdict[rc] == Verdict::Unknown) {
                if (!enter(d, rc)) msg = d.error[rc];
            }
        }
        if (!msg.empty()) {
            for (Frame& f : stack) {
                f.e->verdict[f.ctx] = Verdict::Bad;
                f.e->error[f.ctx] = msg;
            }
            return msg;
        }
    }
    return {};
}

// ---------------------------------------------------------------------------
// Elements

bool Checker::entity_content(std::vector<Ref>& refs) {
    refs_ = &refs;
    return content(true);
}

// Content from p_: text, references and markup, with the open elements on
// `open_`. In the document it starts on the root's '<' and ends past the
// root's end; in an entity it runs to the end of the text.
bool Checker::content(bool in_entity) {
    while (true) {
        // The token that begins here (where a document in pieces goes on
        // when the window ends in it).
        commit_ = p_;
        if (!chars<'<', '&', ']'>()) {
            // Text goes on at the character the window cut.
            if (more_) commit_ = p_;
            return false;
        }
        if (p_ >= n_) {
            if (!final_) {
                commit_ = p_;
                return need_more();
            }
            if (in_entity) {
                if (!open_.empty())
                    return fail(WfCode::Unclosed, "unclosed element " + quoted(open_.back().name), p_);
                return true;
            }
            return fail(WfCode::Unclosed, "unclosed element " + quoted(open_.back().name), p_);
        }
        const unsigned char ch = b_[p_];
        if (ch == '<') {
            const int next = at(p_ + 1);
            if (next == '/') {
                if (!end_tag(in_entity)) return false;
                if (open_.empty() && !in_entity) return true;
            } else if (next == '!') {
                if (starts(p_, "<!--")) {
                    if (!comment()) return false;
                } else if (starts(p_, "<![CDATA[")) {
                    if (!cdata()) return false;
                } else {
                    return p_ + 4 > n_ ? unclosed(p_) : invalid_token(p_);
                }
            } else if (next == '?') {
                if (!pi(false)) return false;
            } else {
                bool empty;
                if (!start_tag(in_entity, empty)) return false;
                if (empty && open_.empty() && !in_entity) return true;
            }
        } else if (ch == '&') {
            if (!reference(kContent)) return false;
        } else {  // ']'
            if (at(p_ + 1) == ']' && at(p_ + 2) == '>')
                return fail(WfCode::Syntax, "']]>' not allowed in content", p_);
            ++p_;
        }
    }
}

bool Checker::start_tag(bool in_entity, bool& empty) {
    empty = false;
    const std::size_t tag_at = p_;
    ++p_;
    Bytes elem;
    if (!name(elem)) return false;
    bool ns_work = colon_ || !dtd_.ns_defaults.empty();
    attrs_.clear();
    while (true) {
        const bool ws = skip_space();
        if (p_ >= n_) return unclosed(p_);
        const unsigned char ch = b_[p_];
        if (ch == '>') {
            ++p_;
            empty = false;
            break;
        }
        if (ch == '/') {
            if (at(p_ + 1) != '>') return p_ + 1 >= n_ ? unclosed(p_) : invalid_token(p_);
            p_ += 2;
            empty = true;
            break;
        }
        if (!ws) return invalid_token(p_);
        const std::size_t a_at = p_;
        Bytes an;
        if (!name(an)) return false;
        ns_work = ns_work || colon_ || (an.size() == 5 && an == "xmlns");
        skip_space();
        if (!expect('=')) return false;
        skip_space();
        const int q = at(p_);
        if (q != '"' && q != '\'') return p_ >= n_ ? unclosed(p_) : invalid_token(p_);
        ++p_;
        const std::size_t v_at = p_;
        bool amp = false;
        while (true) {
            if (!chars<'"', '\'', '<', '&'>()) return false;
            if (p_ >= n_) return unclosed(p_);
            const unsigned char c = b_[p_];
            if (c == q) break;
            if (c == '<') return fail(WfCode::Syntax, "'<' not allowed in attribute value", p_);
            if (c == '&') {
                amp = true;
                if (!reference(kAttr)) return false;
                continue;
            }
            ++p_;  // the other quote
        }
        attrs_.push_back({an, view(v_at, p_), a_at, amp});
        ++p_;
    }
    // Unique attribute names.
    if (attrs_.size() > 1) {
        if (attrs_.size() <= 8) {
            for (std::size_t i = 1; i < attrs_.size(); ++i)
                for (std::size_t j = 0; j < i; ++j)
                    if (attrs_[i].name == attrs_[j].name)
                        return fail(WfCode::DuplicateAttribute, "duplicate attribute " + quoted(attrs_[i].name),
                                    attrs_[i].at);
        } else {
            seen_.clear();
            for (const Attr& a : attrs_)
                if (!seen_.insert(a.name).second)
                    return fail(WfCode::DuplicateAttribute, "duplicate attribute " + quoted(a.name), a.at);
        }
    }
    const std::size_t mark = bindings_.size();
    if (ns_work && !namespaces(elem, tag_at, in_entity)) {
        if (bindings_.size() > mark) unbind(mark);  // a document in pieces goes on from the tag
        return false;
    }
    if (empty) {
        if (bindings_.size() > mark) unbind(mark);
    } else {
        open_.push_back({elem, mark});
    }
    return true;
}

bool Checker::end_tag(bool in_entity) {
    const std::size_t s = p_;
    p_ += 2;
    if (open_.empty()) {
        (void)in_entity;
        return fail(WfCode::TagMismatch, "end tag with no open element", s);
    }
    const Bytes expected = open_.back().name;
    const std::size_t len = expected.size();
    bool same = n_ - p_ > len;
    if (same) {
        // Names are short: a byte loop beats a call to memcmp.
        const unsigned char* x = b_ + p_;
        const unsigned char* y = ubegin(expected);
        std::size_t i = 0;
        for (; i + 8 <= len; i += 8) {
            std::uint64_t u, v;
            std::memcpy(&u, x + i, 8);
            std::memcpy(&v, y + i, 8);
            if (u != v) break;
        }
        if (std::endian::native == std::endian::little && i < len && n_ - p_ - i >= 8) {
            // The last 1 to 7 bytes in one masked compare: the open name
            // lies earlier in the same buffer, so eight bytes of it can be
            // read wherever eight of the end tag can.
            std::uint64_t u, v;
            std::memcpy(&u, x + i, 8);
            std::memcpy(&v, y + i, 8);
            same = i + 8 > len && ((u ^ v) & ((std::uint64_t{1} << (8 * (len - i))) - 1)) == 0;
        } else {
            for (; i < len && x[i] == y[i]; ++i) {
            }
            same = i == len;
        }
    }
    if (same && b_[p_ + len] == '>') [[likely]] {
        p_ += len + 1;
    } else {
        if (same && is_space(b_[p_ + len])) {
            p_ += len;
        } else {
            Bytes got;
            if (!name(got)) return false;
            if (got != expected)
                return fail(WfCode::TagMismatch, "mismatched tag: expected </" + shown(expected) + ">", s);
        }
        skip_space();
        if (!expect('>')) return false;
    }
    if (bindings_.size() > open_.back().bindings) unbind(open_.back().bindings);
    open_.pop_back();
    return true;
}

void Checker::own_names(const char* lo, const char* hi) {
    auto inside = [&](Bytes s) { return !s.empty() && s.data() >= lo && s.data() < hi; };
    // The names read from this window are the top of each stack (those
    // below were copied when their window moved on, and an entry above
    // one of those is newer than it): copies of them go to the slots of
    // the same index, where stale copies of entries since gone may lie.
    std::size_t from = open_.size();
    while (from > 0 && inside(open_[from - 1].name)) --from;
    if (owned_open_.size() < open_.size()) owned_open_.resize(open_.size());
    for (std::size_t i = from; i < open_.size(); ++i) {
        Bytes& nm = open_[i].name;
        owned_open_[i] = OwnedName(nm);
        nm = Bytes(owned_open_[i].bytes.get(), nm.size());
    }
    owned_open_.resize(open_.size());
    // Bindings: those from the lowest the stack came down to since.
    from = std::min(bindings_low_, bindings_.size());
    bindings_low_ = bindings_.size();
    if (owned_bindings_.size() < bindings_.size()) owned_bindings_.resize(bindings_.size());
    for (std::size_t i = from; i < bindings_.size(); ++i) {
        Binding& bd = bindings_[i];
        const Bytes old = bd.prefix;
        if (!inside(old)) continue;  // a declared default's, in the DOCTYPE
        owned_bindings_[i] = OwnedName(old);
        bd.prefix = Bytes(owned_bindings_[i].bytes.get(), old.size());
        // The scope's key is the prefix of the binding that began the
        // prefix's chain (it hides nothing).
        if (bd.prev < 0) {
            auto node = scope_.extract(old);
            if (!node.empty()) {
                node.key() = bd.prefix;
                scope_.insert(std::move(node));
            }
        }
    }
}

void Checker::unbind(std::size_t mark) {
    while (bindings_.size() > mark) {
        const Binding& bd = bindings_.back();
        if (bd.prev < 0)
            scope_.erase(bd.prefix);
        else
            scope_[bd.prefix] = bd.prev;
        rebound(bd.prefix, bd.uri, bd.prev < 0 ? 0 : bindings_[static_cast<std::size_t>(bd.prev)].uri);
        bindings_.pop_back();
    }
    if (bindings_.size() < bindings_low_) bindings_low_ = bindings_.size();
}

std::uint32_t Checker::uri_id(std::string_view uri) {
    auto it = uri_ids_.find(uri);
    if (it != uri_ids_.end()) return it->second;
    const auto id = static_cast<std::uint32_t>(uri_ids_.size() + 1);
    uri_ids_.emplace(std::string(uri), id);
    return id;
}

std::uint64_t Checker::state_term(Bytes prefix, std::uint32_t uri) const {
    std::string key(prefix);
    key.push_back('\0');
    for (int i = 0; i < 4; ++i) key.push_back(static_cast<char>(uri >> (8 * i)));
    return keyed_hash(key);
}

// Keeps ns_state_ in step when a prefix that attribute defaults use goes
// from one namespace name to another (0: unbound).
void Checker::rebound(Bytes prefix, std::uint32_t from, std::uint32_t to) {
    if (from == to || default_prefixes_.empty() || default_prefixes_.count(prefix) == 0) return;
    ns_state_ ^= state_term(prefix, from) ^ state_term(prefix, to);
}

// The expanded name of prefix:local as the bindings in force make it, or
// nothing when the prefix is unbound.
std::optional<Expanded> Checker::expanded(Bytes prefix, Bytes local) {
    if (prefix == "xml") return Expanded{uri_id(kXmlNs), local};
    if (auto idx = lookup(prefix)) return Expanded{bindings_[static_cast<std::size_t>(*idx)].uri, local};
    return std::nullopt;
}

// The verdict on an element's prefixed attribute defaults under the
// bindings in force: worked out only under bindings of their prefixes not
// seen lately, so a tag costs what its own attributes do. (A tag binding
// one of those prefixes to a namespace name it had not lately still costs
// all the defaults.)
DefaultsVerdict& Checker::defaults_verdict(Bytes elem, const std::vector<std::pair<std::string, std::string>>& list) {
    Verdicts& all = verdicts_[elem];
    for (DefaultsVerdict& known : all.v)
        if (known.known && known.state == ns_state_) return known;
    DefaultsVerdict& v = all.v[all.next];
    all.next = (all.next + 1) % std::size(all.v);
    v.known = true;
    v.state = ns_state_;
    v.ok = true;
    v.expanded.clear();
    for (const auto& [an, value] : list) {
        const Bytes nm = an;
        if (nm == "xmlns" || nm.substr(0, 6) == "xmlns:") continue;
        const std::size_t c = nm.find(':');
        const auto e = expanded(nm.substr(0, c), nm.substr(c + 1));
        if (!e || !v.expanded.emplace(*e, nm).second) {
            v.ok = false;
            v.expanded.clear();
            break;
        }
    }
    return v;
}

std::optional<std::int64_t> Checker::lookup(Bytes prefix) const {
    auto it = scope_.find(prefix);
    if (it == scope_.end()) return std::nullopt;
    return it->second;
}

bool Checker::bind(Bytes prefix, std::string uri, std::size_t where) {
    if (prefix == "xmlns")
        return fail(WfCode::Namespace, "reserved prefix (xmlns) must not be declared or undeclared", where);
    if (prefix == "xml") {
        if (uri != kXmlNs)
            return fail(WfCode::Namespace,
                        "reserved prefix (xml) must not be undeclared or bound to another namespace name", where);
    } else if (uri == kXmlNs) {
        return fail(WfCode::Namespace, "reserved namespace name bound to a prefix other than 'xml'", where);
    }
    if (uri == kXmlnsNs) return fail(WfCode::Namespace, "the xmlns namespace name must not be declared", where);
    if (!prefix.empty() && uri.empty())
        return fail(WfCode::Namespace, "prefix " + quoted(prefix) + " must not be undeclared", where);
    const auto prev = lookup(prefix);
    const std::uint32_t id = uri_id(uri);
    rebound(prefix, prev ? bindings_[static_cast<std::size_t>(*prev)].uri : 0, id);
    bindings_.push_back({prefix, id, prev ? *prev : -1});
    scope_[prefix] = static_cast<std::int64_t>(bindings_.size() - 1);
    return true;
}

// Splits a QName; fails on a name with a colon that is not prefix:local.
bool Checker::qname(Bytes q, std::size_t where, Bytes& prefix, Bytes& local) {
    const std::size_t c = q.find(':');
    if (c == Bytes::npos) {
        prefix = {};
        local = q;
        return true;
    }
    prefix = q.substr(0, c);
    local = q.substr(c + 1);
    if (prefix.empty() || local.empty() || local.find(':') != Bytes::npos) {
        return fail(WfCode::Namespace, "malformed qualified name " + quoted(q), where);
    }
    // The local part must start with a NameStartChar (the whole name was
    // read as a Name, so only its first character needs a look).
    char32_t cp;
    const int len = decode_utf8(ubegin(local), ubegin(local) + local.size(), cp);
    if (len == 0 || !name_start_cp(cp) || cp == ':')
        return fail(WfCode::Namespace, "malformed qualified name " + quoted(q), where);
    return true;
}

// A name in a declaration that names elements or attributes: a QName.
bool Checker::qualified_name(Bytes& out) {
    const std::size_t where = p_;
    Bytes prefix, local;
    return name(out) && qname(out, where, prefix, local);
}

// A name that may hold no colon (entities, notations).
bool Checker::ncname(Bytes& out, std::string_view what) {
    const std::size_t where = p_;
    if (!name(out)) return false;
    if (out.find(':') != Bytes::npos) return fail(WfCode::Namespace, "colon in " + std::string(what) + " name", where);
    return true;
}

// The namespace name an attribute value gives: its text with character
// references and the predefined entities replaced. A reference to another
// entity stays as written: expanding it in every tag that uses it would let
// a short document make the check copy a long replacement text again and
// again.
std::string Checker::attr_uri(const Attr& a) {
    if (!a.amp) return std::string(a.value);
    std::string out;
    Bytes v = a.value;
    std::size_t i = 0;
    while (i < v.size()) {
        if (v[i] != '&') {
            out += v[i++];
            continue;
        }
        const std::size_t semi = v.find(';', i);
        const Bytes ref = v.substr(i + 1, semi - i - 1);
        i = semi + 1;
        if (!ref.empty() && ref[0] == '#') {
            std::uint32_t cp = 0;
            if (ref.size() > 1 && ref[1] == 'x') {
                for (char ch : ref.substr(2))
                    cp = cp * 16 + static_cast<std::uint32_t>(ch <= '9' ? ch - '0' : (ch | 0x20) - 'a' + 10);
            } else {
                for (char ch : ref.substr(1)) cp = cp * 10 + static_cast<std::uint32_t>(ch - '0');
            }
            utf8_append(out, cp);
        } else if (ref == "lt") {
            out += '<';
        } else if (ref == "gt") {
            out += '>';
        } else if (ref == "amp") {
            out += '&';
        } else if (ref == "apos") {
            out += '\'';
        } else if (ref == "quot") {
            out += '"';
        } else {
            out += '&';
            out.append(ref.data(), ref.size());
            out += ';';
        }
    }
    return out;
}

bool Checker::namespaces(Bytes elem, std::size_t tag_at, bool in_entity) {
    if (!default_prefixes_made_ && !dtd_.ns_defaults.empty()) {
        // Before the first binding, so that ns_state_ follows them all.
        default_prefixes_made_ = true;
        for (const auto& [el, defaults] : dtd_.ns_defaults)
            for (const auto& [an, value] : defaults.list) {
                const Bytes nm = an;
                if (nm.substr(0, 6) == "xmlns:")
                    default_prefixes_.insert(nm.substr(6));
                else if (nm != "xmlns")
                    default_prefixes_.insert(nm.substr(0, nm.find(':')));
            }
    }
    // Declarations first: they apply to the tag's own names.
    bool any_prefixed_attr = false;
    for (const Attr& a : attrs_) {
        if (a.name.size() >= 5 && a.name.substr(0, 5) == "xmlns") {
            if (a.name.size() == 5) {
                const std::string uri = attr_uri(a);
                if (uri == kXmlNs || uri == kXmlnsNs)
                    return fail(WfCode::Namespace, "reserved namespace name as the default namespace", a.at);
                if (!bind({}, uri, a.at)) return false;
                continue;
            }
            if (a.name[5] == ':') {
                Bytes prefix, local;
                if (!qname(a.name, a.at, prefix, local)) return false;
                if (!bind(local, attr_uri(a), a.at)) return false;
                continue;
            }
        }
        if (a.name.find(':') != Bytes::npos) any_prefixed_attr = true;
    }
    // Defaults the tag does not give itself: declarations bind, prefixed
    // names are checked below with the tag's own.
    defaulted_.clear();
    const DefaultsVerdict* verdict = nullptr;
    // Whether the tag gives an attribute itself (past eight attributes
    // their names are in `seen_` already).
    auto given = [&](Bytes an) {
        if (attrs_.size() > 8) return seen_.count(an) != 0;
        for (const Attr& a : attrs_)
            if (a.name == an) return true;
        return false;
    };
    if (!dtd_.ns_defaults.empty()) {
        auto it = dtd_.ns_defaults.find(elem);
        if (it != dtd_.ns_defaults.end()) {
            const auto& list = it->second.list;
            for (std::size_t i : it->second.declarations) {
                const Bytes nm = list[i].first;  // lives in the table, as long as the check
                if (given(nm)) continue;
                if (!bind(nm.size() == 5 ? Bytes{} : nm.substr(6), list[i].second, tag_at)) return false;
            }
            // The prefixed ones: under bindings seen before, a verdict
            // found then holds, and only the tag's own names are looked at.
            if (!in_entity) {
                const DefaultsVerdict& v = defaults_verdict(it->first, list);
                if (v.ok && !v.expanded.empty()) verdict = &v;
            }
            if (verdict == nullptr) {
                for (const auto& [an, value] : list) {
                    const Bytes nm = an;
                    if (nm.size() != 5 && nm.substr(0, 6) != "xmlns:" && !given(nm)) defaulted_.push_back(nm);
                }
            }
        }
    }
    Bytes prefix, local;
    if (!qname(elem, tag_at + 1, prefix, local)) return false;
    if (!prefix.empty()) {
        if (prefix == "xmlns") return fail(WfCode::Namespace, "element name with the prefix 'xmlns'", tag_at + 1);
        if (prefix != "xml" && !lookup(prefix) && !in_entity && !bound_outside(prefix))
            return fail(WfCode::Namespace, "unbound prefix " + quoted(prefix), tag_at + 1);
    }
    if (!any_prefixed_attr && defaulted_.empty()) return true;
    // Each prefixed attribute that is no declaration, with where it stands
    // (a defaulted one: its tag).
    auto each_prefixed = [&](auto&& fn) {
        for (const Attr& a : attrs_) {
            if (a.name.find(':') == Bytes::npos || a.name.substr(0, 6) == "xmlns:") continue;
            if (!fn(a.name, a.at)) return false;
        }
        for (Bytes nm : defaulted_)
            if (!fn(nm, tag_at)) return false;
        return true;
    };
    std::size_t prefixed = 0;
    const bool bound = each_prefixed([&](Bytes nm, std::size_t where) {
        if (!qname(nm, where, prefix, local)) return false;
        if (prefix != "xml" && !lookup(prefix) && !in_entity && !bound_outside(prefix))
            return fail(WfCode::Namespace, "unbound prefix " + quoted(prefix), where);
        ++prefixed;
        return true;
    });
    if (!bound) return false;
    if (verdict != nullptr) {
        // A name of the tag's own that a default not given by the tag
        // repeats: the defaults are gone through after all, and the error
        // is the one found below.
        bool clash = false;
        each_prefixed([&](Bytes nm, std::size_t where) {
            (void)qname(nm, where, prefix, local);
            auto e = expanded(prefix, local);
            auto found = e ? verdict->expanded.find(*e) : verdict->expanded.end();
            if (found != verdict->expanded.end() && found->second != nm) clash = true;
            return !clash;
        });
        if (!clash) {
            if (prefixed < 2) return true;
        } else {
            for (const auto& [an, value] : dtd_.ns_defaults.find(elem)->second.list) {
                const Bytes nm = an;
                if (nm.size() != 5 && nm.substr(0, 6) != "xmlns:" && !given(nm)) defaulted_.push_back(nm);
            }
            prefixed += defaulted_.size();
        }
    }
    if (prefixed < 2) return true;
    // Unique expanded names: no two prefixed attributes with the same local
    // name and namespace name.
    seen_expanded_.clear();
    return each_prefixed([&](Bytes nm, std::size_t where) {
        (void)qname(nm, where, prefix, local);
        Expanded key{0, local};
        if (auto e = expanded(prefix, local)) {
            key = *e;
        } else {
            // Unbound inside an entity: the prefix stands in.
            std::string stand_in = "\x01";
            stand_in.append(prefix.data(), prefix.size());
            key.uri = uri_id(stand_in);
        }
        if (!seen_expanded_.insert(key).second)
            return fail(WfCode::DuplicateAttribute, "duplicate attribute " + quoted(nm) + " (same expanded name)", where);
        return true;
    });
}

// ---------------------------------------------------------------------------
// Comments, PIs, CDATA

bool Checker::comment() {
    const std::size_t s = p_;
    p_ += 4;
    while (true) {
        if (!chars<'-'>()) return false;
        if (p_ >= n_) return unclosed(s);
        if (at(p_ + 1) == '-') {
            if (at(p_ + 2) == '>') {
                p_ += 3;
                return true;
            }
            if (p_ + 2 >= n_) return unclosed(s);
            return fail(WfCode::Syntax, "'--' not allowed in comment", p_);
        }
        if (p_ + 1 >= n_) return unclosed(s);
        ++p_;
    }
}

bool Checker::pi(bool doc_start) {
    const std::size_t s = p_;
    p_ += 2;
    Bytes target;
    if (!name(target)) return false;
    if (target.size() == 3 && (target[0] | 0x20) == 'x' && (target[1] | 0x20) == 'm' && (target[2] | 0x20) == 'l') {
        (void)doc_start;
        return fail(WfCode::Syntax,
                    target == "xml" ? "XML declaration not at start of document" : "reserved processing instruction target",
                    s);
    }
    if (target.find(':') != Bytes::npos)
        return fail(WfCode::Namespace, "colon in processing instruction target", s + 2);
    if (starts(p_, "?>")) {
        p_ += 2;
        return true;
    }
    if (!need_space()) return false;
    while (true) {
        if (!chars<'?'>()) return false;
        if (p_ >= n_) return unclosed(s);
        if (at(p_ + 1) == '>') {
            p_ += 2;
            return true;
        }
        ++p_;
    }
}

bool Checker::cdata() {
    const std::size_t s = p_;
    p_ += 9;
    while (true) {
        if (!chars<']'>()) return false;
        if (p_ >= n_) return unclosed(s);
        if (at(p_ + 1) == ']' && at(p_ + 2) == '>') {
            p_ += 3;
            return true;
        }
        ++p_;
    }
}

// ---------------------------------------------------------------------------
// The document

bool Checker::xml_decl() {
    const std::size_t s = p_;
    p_ += 5;
    Bytes keys[3] = {"version", "encoding", "standalone"};
    int next_key = 0;
    std::optional<Bytes> encoding_label;
    std::size_t enc_at = 0;
    while (true) {
        const bool ws = skip_space();
        if (starts(p_, "?>")) {
            p_ += 2;
            break;
        }
        if (p_ >= n_) return unclosed(s);
        if (!ws) return invalid_token(p_);
        const std::size_t k_at = p_;
        while (p_ < n_ && b_[p_] >= 'a' && b_[p_] <= 'z') ++p_;
        const Bytes key = view(k_at, p_);
        int k = next_key;
        while (k < 3 && keys[k] != key) ++k;
        if (k == 3 || (next_key == 0 && k != 0))
            return fail(WfCode::Declaration, "XML declaration not well-formed", k_at);
        next_key = k + 1;
        skip_space();
        if (!expect('=')) return false;
        skip_space();
        const int q = at(p_);
        if (q != '"' && q != '\'') return p_ >= n_ ? unclosed(p_) : invalid_token(p_);
        const std::size_t v_at = ++p_;
        while (p_ < n_ && b_[p_] != q && b_[p_] != '>') ++p_;
        if (at(p_) != q) return p_ >= n_ ? unclosed(s) : fail(WfCode::Declaration, "XML declaration not well-formed", p_);
        const Bytes v = view(v_at, p_++);
        bool good = true;
        if (k == 0) {
            good = v.size() >= 3 && v.substr(0, 2) == "1.";
            for (std::size_t i = 2; good && i < v.size(); ++i) good = v[i] >= '0' && v[i] <= '9';
        } else if (k == 1) {
            good = !v.empty() && ((v[0] | 0x20) >= 'a' && (v[0] | 0x20) <= 'z');
            for (std::size_t i = 1; good && i < v.size(); ++i) {
                const char c = v[i];
                good = ((c | 0x20) >= 'a' && (c | 0x20) <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
                       c == '-';
            }
            encoding_label = v;
            enc_at = v_at;
        } else {
            good = v == "yes" || v == "no";
            dtd_.standalone = v == "yes";
        }
        if (!good) return fail(WfCode::Declaration, "XML declaration not well-formed", v_at);
    }
    if (next_key == 0) return fail(WfCode::Declaration, "XML declaration not well-formed", s);
    if (!encoding_label || mode_ == EncodingMode::Text || mode_ == EncodingMode::Decoded) return true;
    const auto enc = encoding_for_label(*encoding_label);
    if (!enc) return fail(WfCode::Encoding, "unknown encoding " + quoted(*encoding_label), enc_at);
    const bool utf16 = *enc == Encoding::Utf16Be || *enc == Encoding::Utf16Le;
    if (mode_ == EncodingMode::Utf16) {
        if (!utf16) return fail(WfCode::Encoding, "encoding specified in XML declaration is incorrect", enc_at);
        return true;
    }
    if (*enc == Encoding::Utf8) return true;
    if (utf16 || starts(0, "\xEF\xBB\xBF"))
        return fail(WfCode::Encoding, "encoding specified in XML declaration is incorrect", enc_at);
    switch_to = *enc;
    return false;
}

bool Checker::document() { return prolog() && content(false) && epilog(); }

// The byte-order mark, the XML declaration and the prolog: p_ is left on
// the root's '<'.
bool Checker::prolog() {
    if (mode_ == EncodingMode::Raw || mode_ == EncodingMode::Text) {
        if (starts(0, "\xEF\xBB\xBF")) p_ = 3;
    }
    if (starts(p_, "<?xml") && is_space(at(p_ + 5))) {
        if (!xml_decl()) return false;
    }
    return misc_until_root();
}

// After the root: white space, comments and PIs only.
bool Checker::epilog() {
    while (true) {
        if (!final_ && !commit()) return false;
        skip_space();
        if (p_ >= n_) {
            if (!final_) {
                commit_ = p_;
                return need_more();
            }
            return true;
        }
        if (starts(p_, "<!--")) {
            if (!comment()) return false;
        } else if (starts(p_, "<?")) {
            if (!pi(false)) return false;
        } else {
            return fail(WfCode::JunkAfterRoot, "junk after document element", p_);
        }
    }
}

// The prolog after the XML declaration: comments, PIs, white space and at
// most one DOCTYPE; leaves p_ on the root's '<'.
bool Checker::misc_until_root() {
    while (true) {
        skip_space();
        if (p_ >= n_) return fail(WfCode::NoElement, "no element found", p_);
        if (b_[p_] != '<') {
            // A character that is no Char is the first error; else the text is.
            const std::size_t text_at = p_;
            if (b_[p_] >= 0x80 || b_[p_] < 0x20) {
                if (!chars<'<'>()) return false;
            }
            return fail(WfCode::Syntax, "text before the root element", text_at);
        }
        if (starts(p_, "<!--")) {
            if (!comment()) return false;
        } else if (starts(p_, "<?")) {
            if (!pi(false)) return false;
        } else if (starts(p_, "<!DOCTYPE")) {
            if (dtd_.has_doctype) return fail(WfCode::Syntax, "second document type declaration", p_);
            if (!doctype()) return false;
        } else if (at(p_ + 1) == '/') {
            return fail(WfCode::TagMismatch, "end tag with no open element", p_);
        } else if (at(p_ + 1) == '!') {
            return p_ + 9 > n_ ? unclosed(p_) : invalid_token(p_);
        } else {
            return true;
        }
    }
}

// ---------------------------------------------------------------------------
// The document type declaration

bool Checker::literal(bool pubid, std::size_t& from, std::size_t& to) {
    const int q = at(p_);
    if (q != '"' && q != '\'') return p_ >= n_ ? unclosed(p_) : invalid_token(p_);
    from = ++p_;
    while (true) {
        if (!chars<'"', '\''>()) return false;
        if (p_ >= n_) return unclosed(from - 1);
        if (b_[p_] == q) break;
        ++p_;
    }
    to = p_++;
    if (pubid) {
        for (std::size_t i = from; i < to; ++i) {
            if (!(kAscii.c[b_[i]] & kPubid) && !(b_[i] == '\'' && q == '"'))
                return fail(WfCode::Declaration, "illegal character in public id", i);
        }
    }
    return true;
}

bool Checker::external_id(bool public_alone) {
    std::size_t f, t;
    if (starts(p_, "SYSTEM")) {
        p_ += 6;
        if (!need_space()) return false;
        return literal(false, f, t);
    }
    if (starts(p_, "PUBLIC")) {
        p_ += 6;
        if (!need_space()) return false;
        if (!literal(true, f, t)) return false;
        const std::size_t before = p_;
        const bool ws = skip_space();
        const int q = at(p_);
        if (public_alone && (q != '"' && q != '\'')) {
            p_ = before;
            return true;
        }
        if (!ws) return p_ >= n_ ? unclosed(p_) : invalid_token(p_);
        return literal(false, f, t);
    }
    return p_ >= n_ ? unclosed(p_) : invalid_token(p_);
}

bool Checker::doctype() {
    const std::size_t s = p_;
    dtd_.has_doctype = true;
    p_ += 9;
    if (!need_space()) return false;
    Bytes nm;
    if (!qualified_name(nm)) return false;
    const bool ws = skip_space();
    if (starts(p_, "SYSTEM") || starts(p_, "PUBLIC")) {
        if (!ws) return invalid_token(p_);
        if (!external_id(false)) return false;
        dtd_.external_subset = true;
        skip_space();
    }
    if (at(p_) == '[') {
        ++p_;
        if (!internal_subset()) return false;
        ++p_;  // ']'
        skip_space();
    }
    if (p_ >= n_) return unclosed(s);
    return expect('>');
}

bool Checker::internal_subset() {
    while (true) {
        skip_space();
        if (p_ >= n_) return unclosed(p_);
        const unsigned char ch = b_[p_];
        if (ch == ']') return true;
        if (ch == '%') {
            const std::size_t r = p_++;
            Bytes nm;
            if (!name(nm)) return false;
            if (!expect(';')) return false;
            dtd_.pe_refs = true;
            if (dtd_.standalone) {
                if (!dtd_.parameter_entities.count(nm))
                    return fail(WfCode::UndefinedEntity, "undefined entity " + quoted("%" + std::string(nm)), r);
            } else {
                dtd_.skip_decls = true;
            }
            continue;
        }
        bool ok;
        if (starts(p_, "<!--")) ok = comment();
        else if (starts(p_, "<?")) ok = pi(false);
        else if (starts(p_, "<!ELEMENT")) ok = element_decl();
        else if (starts(p_, "<!ATTLIST")) ok = attlist_decl();
        else if (starts(p_, "<!ENTITY")) ok = entity_decl();
        else if (starts(p_, "<!NOTATION")) ok = notation_decl();
        else if (starts(p_, "<!["))
            ok = fail(WfCode::Declaration, "conditional section not allowed in the internal subset", p_);
        else
            ok = p_ + 10 > n_ && ch == '<' ? unclosed(p_) : invalid_token(p_);
        if (!ok) return false;
    }
}

bool Checker::element_decl() {
    p_ += 9;
    if (!need_space()) return false;
    Bytes nm;
    if (!qualified_name(nm)) return false;
    if (!need_space()) return false;
    if (starts(p_, "EMPTY")) {
        p_ += 5;
    } else if (starts(p_, "ANY")) {
        p_ += 3;
    } else if (at(p_) == '(') {
        ++p_;
        skip_space();
        if (starts(p_, "#PCDATA")) {
            p_ += 7;
            bool names = false;
            while (true) {
                skip_space();
                if (at(p_) == ')') {
                    ++p_;
                    if (at(p_) == '*') ++p_;
                    else if (names) return p_ >= n_ ? unclosed(p_) : invalid_token(p_);
                    break;
                }
                if (!expect('|')) return false;
                skip_space();
                if (!qualified_name(nm)) return false;
                names = true;
            }
        } else {
            // Children: groups nest, each a choice ('|') or a sequence
            // (','), kept on an explicit stack.
            std::vector<char> seps{0};
            bool want_cp = true;
            while (!seps.empty()) {
                skip_space();
                if (want_cp) {
                    if (at(p_) == '(') {
                        ++p_;
                        seps.push_back(0);
                        continue;
                    }
                    if (!qualified_name(nm)) return false;
                    const int m = at(p_);
                    if (m == '?' || m == '*' || m == '+') ++p_;
                    want_cp = false;
                    continue;
                }
                const int c = at(p_);
                if (c == ')') {
                    ++p_;
                    seps.pop_back();
                    const int m = at(p_);
                    if (m == '?' || m == '*' || m == '+') ++p_;
                } else if (c == '|' || c == ',') {
                    if (seps.back() == 0) seps.back() = static_cast<char>(c);
                    else if (seps.back() != c) return invalid_token(p_);
                    ++p_;
                    want_cp = true;
                } else {
                    return p_ >= n_ ? unclosed(p_) : invalid_token(p_);
                }
            }
        }
    } else {
        return p_ >= n_ ? unclosed(p_) : invalid_token(p_);
    }
    skip_space();
    return expect('>');
}

bool Checker::att_value(bool resolve_refs) {
    const int q = at(p_);
    if (q != '"' && q != '\'') return p_ >= n_ ? unclosed(p_) : invalid_token(p_);
    ++p_;
    while (true) {
        if (!chars<'"', '\'', '<', '&'>()) return false;
        if (p_ >= n_) return unclosed(p_);
        const unsigned char c = b_[p_];
        if (c != q && (c == '"' || c == '\'')) {
            ++p_;
            continue;
        }
        if (c == '<') return fail(WfCode::Syntax, "'<' not allowed in attribute value", p_);
        if (c == '&') {
            if (resolve_refs) {
                if (!reference(kAttr)) return false;
            } else {
                std::vector<Ref> ignored;
                refs_ = &ignored;
                const bool ok = reference(kAttr);
                refs_ = nullptr;
                if (!ok) return false;
            }
            continue;
        }
        ++p_;
        return true;
    }
}

bool Checker::attlist_decl() {
    p_ += 9;
    if (!need_space()) return false;
    Bytes elem;
    if (!qualified_name(elem)) return false;
    while (true) {
        const bool ws = skip_space();
        if (at(p_) == '>') {
            ++p_;
            return true;
        }
        if (p_ >= n_) return unclosed(p_);
        if (!ws) return invalid_token(p_);
        Bytes an;
        if (!qualified_name(an)) return false;
        if (!need_space()) return false;
        static constexpr std::string_view kTypes[] = {"CDATA", "IDREFS", "IDREF", "ID", "ENTITIES", "ENTITY",
                                                      "NMTOKENS", "NMTOKEN"};
        bool typed = false;
        for (std::string_view t : kTypes) {
            if (starts(p_, t)) {
                p_ += t.size();
                typed = true;
                break;
            }
        }
        if (!typed) {
            bool notation = false;
            if (starts(p_, "NOTATION")) {
                p_ += 8;
                if (!need_space()) return false;
                notation = true;
            }
            if (!expect('(')) return false;
            while (true) {
                skip_space();
                if (notation) {
                    Bytes nm;
                    if (!ncname(nm, "notation")) return false;
                } else if (!nmtoken()) {
                    return false;
                }
                skip_space();
                if (at(p_) == ')') {
                    ++p_;
                    break;
                }
                if (!expect('|')) return false;
            }
        }
        if (!need_space()) return false;
        if (starts(p_, "#REQUIRED")) {
            p_ += 9;
        } else if (starts(p_, "#IMPLIED")) {
            p_ += 8;
        } else {
            if (starts(p_, "#FIXED")) {
                p_ += 6;
                if (!need_space()) return false;
            }
            const std::size_t v_at = p_ + 1;
            if (!att_value(!dtd_.skip_decls)) return false;
            if (!dtd_.skip_decls && (an == "xmlns" || an.find(':') != Bytes::npos)) {
                auto& defaults = dtd_.ns_defaults[std::string(elem)];
                if (defaults.names.emplace(an).second) {
                    Attr a{an, view(v_at, p_ - 1), v_at, view(v_at, p_ - 1).find('&') != Bytes::npos};
                    if (an == "xmlns" || an.substr(0, 6) == "xmlns:") defaults.declarations.push_back(defaults.list.size());
                    defaults.list.emplace_back(std::string(an), attr_uri(a));
                }
            }
        }
    }
}

// An entity's literal value: character references replaced, general entity
// references kept as written (they are resolved where the entity is used).
bool Checker::entity_value(std::string& text) {
    const int q = at(p_);
    if (q != '"' && q != '\'') return p_ >= n_ ? unclosed(p_) : invalid_token(p_);
    ++p_;
    while (true) {
        std::size_t seg = p_;
        if (!chars<'"', '\'', '%', '&'>()) return false;
        if (p_ >= n_) return unclosed(p_);
        const unsigned char c = b_[p_];
        if (c != q && (c == '"' || c == '\'')) {
            ++p_;
            text.append(reinterpret_cast<const char*>(b_ + seg), p_ - seg);
            continue;
        }
        text.append(reinterpret_cast<const char*>(b_ + seg), p_ - seg);
        if (c == '%')
            return fail(WfCode::Declaration, "parameter entity reference not allowed within a declaration in the internal subset", p_);
        if (c == '&') {
            if (at(p_ + 1) == '#') {
                char32_t cp;
                if (!char_ref(cp)) return false;
                utf8_append(text, cp);
            } else {
                seg = p_++;
                Bytes nm;
                if (!name(nm)) return false;
                if (!expect(';')) return false;
                text.append(reinterpret_cast<const char*>(b_ + seg), p_ - seg);
            }
            continue;
        }
        ++p_;
        return true;
    }
}

bool Checker::entity_decl() {
    p_ += 8;
    if (!need_space()) return false;
    bool pe = false;
    if (at(p_) == '%') {
        pe = true;
        ++p_;
        if (!need_space()) return false;
    }
    Bytes nm;
    if (!ncname(nm, "entity")) return false;
    if (!need_space()) return false;
    Entity e;
    const int q = at(p_);
    if (q == '"' || q == '\'') {
        if (!entity_value(e.text)) return false;
    } else {
        if (!external_id(false)) return false;
        e.external = true;
        if (!pe) {
            const std::size_t before = p_;
            const bool ws = skip_space();
            if (starts(p_, "NDATA")) {
                if (!ws) return invalid_token(p_);
                p_ += 5;
                if (!need_space()) return false;
                Bytes notation;
                if (!ncname(notation, "notation")) return false;
                e.unparsed = true;
            } else {
                p_ = before;
            }
        }
    }
    skip_space();
    if (!expect('>')) return false;
    if (dtd_.skip_decls) return true;
    if (pe) {
        dtd_.parameter_entities.emplace(nm);
    } else if (!is_predefined(nm) && dtd_.entities.find(nm) == dtd_.entities.end()) {
        e.name = nm;
        dtd_.entities.emplace(std::string(nm), std::move(e));
    }
    return true;
}

bool Checker::notation_decl() {
    p_ += 10;
    if (!need_space()) return false;
    Bytes nm;
    if (!ncname(nm, "notation")) return false;
    if (!need_space()) return false;
    if (!external_id(true)) return false;
    skip_space();
    return expect('>');
}

// ---------------------------------------------------------------------------
// Positions

// Line and column (1-based, the column in characters) of byte `off` of the
// UTF-8 text `s`.
void line_column(Bytes s, std::size_t off, WfError& e) {
    off = std::min(off, s.size());
    std::size_t line = 1, line_start = 0;
    for (std::size_t i = 0; i < off; ++i) {
        const char c = s[i];
        if (c == '\n') {
            ++line;
            line_start = i + 1;
        } else if (c == '\r') {
            if (i + 1 < s.size() && s[i + 1] == '\n') continue;
            ++line;
            line_start = i + 1;
        }
    }
    std::size_t col = 1;
    for (std::size_t i = line_start; i < off; ++i)
        if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) ++col;
    if (line_start == 0 && s.substr(0, 3) == "\xEF\xBB\xBF" && off >= 3) --col;  // the byte-order mark
    e.line = line;
    e.column = col;
}

WfError make_error(const Failure& f, Bytes work) {
    WfError e;
    e.code = f.code;
    e.message = f.message;
    e.offset = f.at;
    // An interrupted check's answer is thrown away: no count of its lines.
    if (!interrupted()) line_column(work, f.at, e);
    return e;
}

bool single_byte(Encoding e) noexcept {
    return e != Encoding::Utf8 && e != Encoding::Gbk && e != Encoding::Gb18030 && e != Encoding::Big5 &&
           e != Encoding::EucJp && e != Encoding::Iso2022Jp && e != Encoding::ShiftJis && e != Encoding::EucKr &&
           e != Encoding::Replacement && e != Encoding::Utf16Be && e != Encoding::Utf16Le;
}

// Byte offset in the original of byte `off` of its UTF-8 form `work`,
// decoded from `original` (past `skip` bytes of byte-order mark).
std::size_t original_offset(Bytes original, std::size_t skip, Encoding enc, Bytes work, std::size_t off) {
    off = std::min(off, work.size());
    if (single_byte(enc) || enc == Encoding::Utf16Be || enc == Encoding::Utf16Le) {
        std::size_t units = 0;
        for (std::size_t i = 0; i < off; ++i) {
            const unsigned char c = static_cast<unsigned char>(work[i]);
            if ((c & 0xC0) == 0x80) continue;
            units += c >= 0xF0 ? 2 : 1;
        }
        if (single_byte(enc)) return skip + units;
        return skip + 2 * units;
    }
    // Multi-byte encodings: the shortest prefix whose decoded form reaches
    // `off` (decoded length grows with the prefix). Only on the error path.
    const Bytes text = original.substr(skip);
    std::size_t lo = 0, hi = text.size();
    std::string tmp;
    while (lo < hi) {
        const std::size_t mid = lo + (hi - lo) / 2;
        tmp.clear();
        decode_prefix_to_utf8(enc, text.substr(0, mid), tmp);
        if (tmp.size() >= off) hi = mid;
        else lo = mid + 1;
    }
    return skip + lo;
}

std::optional<WfError> check_decoded(Bytes document, std::size_t skip, Encoding enc, EncodingMode mode,
                                     bool outer_bindings, const PrefixSet* outer_prefixes) {
    const Bytes text = document.substr(skip);
    std::string work;
    work.reserve(text.size());
    const std::size_t good = decode_prefix_to_utf8(enc, text, work);
    if (good != text.size()) {
        WfError e;
        e.code = WfCode::InvalidChar;
        e.message = "not well-formed (invalid token)";
        e.offset = skip + good;
        line_column(work, work.size(), e);
        return e;
    }
    Dtd dtd;
    Checker c(work, dtd, mode);
    c.outer_bindings = outer_bindings;
    c.outer_prefixes = outer_prefixes;
    if (c.document()) return std::nullopt;
    WfError e = make_error(*c.failure, work);
    e.offset = original_offset(document, skip, enc, work, c.failure->at);
    return e;
}

}  // namespace

std::optional<WfError> check_well_formed(Bytes document, bool text_input, bool outer_bindings,
                                         const PrefixSet* outer_prefixes) {
    if (!text_input) {
        const DetectedEncoding d = detect_encoding(document);
        if (d.found && (d.encoding == Encoding::Utf16Be || d.encoding == Encoding::Utf16Le))
            return check_decoded(document, d.skip, d.encoding, EncodingMode::Utf16, outer_bindings, outer_prefixes);
    }
    Dtd dtd;
    Checker c(document, dtd, text_input ? EncodingMode::Text : EncodingMode::Raw);
    c.outer_bindings = outer_bindings;
    c.outer_prefixes = outer_prefixes;
    thread_local Scratch scratch;
    c.take(scratch);
    const bool ok = c.document();
    c.give_back(scratch);
    if (ok) return std::nullopt;
    if (c.switch_to)
        return check_decoded(document, 0, *c.switch_to, EncodingMode::Decoded, outer_bindings, outer_prefixes);
    return make_error(*c.failure, document);
}

// ---------------------------------------------------------------------------
// A document in pieces

// The '\n' bytes of s[0, n), sixteen at a time.
std::size_t count_newlines(const char* s, std::size_t n) noexcept {
    std::size_t count = 0, i = 0;
#if defined(__SSE2__)
    // Per-lane counts in bytes (a compare gives -1 per match), summed
    // every 255 blocks before a lane can wrap.
    const __m128i nl = _mm_set1_epi8('\n');
    while (i + 16 <= n) {
        __m128i acc = _mm_setzero_si128();
        for (int b = 0; b < 255 && i + 16 <= n; ++b, i += 16)
            acc = _mm_sub_epi8(acc, _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i)), nl));
        const __m128i sums = _mm_sad_epu8(acc, _mm_setzero_si128());
        count += static_cast<std::size_t>(_mm_cvtsi128_si32(sums)) +
                 static_cast<std::size_t>(_mm_cvtsi128_si32(_mm_srli_si128(sums, 8)));
    }
#endif
    for (; i < n; ++i) count += s[i] == '\n';
    return count;
}

struct WellFormedStream::Impl {
    enum class Phase : std::uint8_t { Detect, Prolog, Content, Epilog, Whole, Done };

    std::string buf;         // the window: the bytes not checked yet
    // Or the document itself, from its start, where the caller keeps it
    // (feed_in_place): the window is doc[base, doc.size()), nothing is
    // copied, and the names the check keeps stay where they are.
    std::optional<Bytes> doc;
    std::size_t base = 0;    // the document's offset of the window's start
    std::size_t lines = 1;   // the line buf[0] is on
    std::size_t column = 0;  // the characters before buf[0] on that line
    bool first_line = true;  // no line has ended before buf[0]
    bool bom = false;        // the document starts with a UTF-8 byte-order mark
    std::size_t commit = 0;  // where the check goes on in buf
    std::size_t need = 0;    // the bytes past `commit` wanted before it does
    Phase phase = Phase::Detect;
    Dtd dtd;
    std::unique_ptr<Checker> checker;
    std::optional<WfError> error;

    Bytes window() const noexcept { return doc ? doc->substr(base) : Bytes(buf); }

    // Lines and columns moved past with the window's [0, k): the rules of
    // line_column (CR LF is one line end, a lone CR one too). The byte
    // after a CR is in the window (it is not cut after a CR).
    void count_lines(std::size_t k) {
        const Bytes w = window();
        const char* s = w.data();
        if (k == 0 || std::memchr(s, '\r', k) == nullptr) {
            std::size_t last = k;
            for (std::size_t i = k; i > 0; --i) {
                if (s[i - 1] == '\n') {
                    last = i - 1;
                    break;
                }
            }
            std::size_t from = 0;
            if (last != k) {
                lines += count_newlines(s, last + 1);
                column = 0;
                first_line = false;
                from = last + 1;
            }
            for (std::size_t i = from; i < k; ++i) column += (static_cast<unsigned char>(s[i]) & 0xC0) != 0x80;
            return;
        }
        for (std::size_t i = 0; i < k; ++i) {
            const char c = s[i];
            if (c == '\n' || (c == '\r' && !(i + 1 < w.size() && s[i + 1] == '\n'))) {
                ++lines;
                column = 0;
                first_line = false;
            } else {
                column += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
            }
        }
    }

    void set_error(const Failure& f) {
        WfError e;
        e.code = f.code;
        e.message = f.message;
        e.offset = base + f.at;
        if (!interrupted()) {
            const std::size_t k = std::min(f.at, window().size());
            const std::size_t saved_lines = lines, saved_column = column;
            const bool saved_first = first_line;
            count_lines(k);
            e.line = lines;
            e.column = column + 1;
            if (first_line && bom && e.offset >= 3) --e.column;
            lines = saved_lines;
            column = saved_column;
            first_line = saved_first;
        }
        error = std::move(e);
        phase = Phase::Done;
    }

    // The checker stopped at the window's end: what lies before the
    // token it was in goes, the names still in use are kept.
    void slide() {
        const Bytes w = window();
        const std::size_t resume = checker->resume_at();
        std::size_t k = resume;
        if (k > 0 && k == w.size() && w[k - 1] == '\r') --k;
        count_lines(k);
        // In place too: the pages behind the window may be let go (a mapped
        // file's), and an end tag far from its start tag would fault them in.
        checker->own_names(w.data(), w.data() + w.size());
        if (!doc) buf.erase(0, k);
        base += k;
        commit = resume - k;
        need = std::max<std::size_t>(2 * (w.size() - k - commit), 1);
    }

    // Whether the checker's answer waits for more bytes.
    bool waits(bool ok, bool final) const noexcept {
        return !final && !interrupted() && (checker->more_ || (ok && checker->past_end_));
    }

    void run(bool final) {
        while (true) {
            switch (phase) {
                case Phase::Detect: {
                    const Bytes w = window();
                    if (!final && w.size() < 4) return;
                    const DetectedEncoding d = detect_encoding(w);
                    if (d.found && (d.encoding == Encoding::Utf16Be || d.encoding == Encoding::Utf16Le)) {
                        phase = Phase::Whole;
                        continue;
                    }
                    bom = w.size() >= 3 && std::memcmp(w.data(), "\xEF\xBB\xBF", 3) == 0;
                    phase = Phase::Prolog;
                    continue;
                }
                case Phase::Prolog: {
                    // From the start each time, until it is whole.
                    dtd = Dtd{};
                    checker = std::make_unique<Checker>(window(), dtd, EncodingMode::Raw);
                    checker->final_ = final;
                    const bool ok = checker->prolog();
                    if (checker->switch_to) {
                        phase = Phase::Whole;
                        continue;
                    }
                    if (waits(ok, final)) {
                        need = 2 * window().size();
                        return;
                    }
                    if (!ok) return set_error(*checker->failure);
                    commit = checker->position();
                    phase = Phase::Content;
                    continue;
                }
                case Phase::Content:
                case Phase::Epilog: {
                    checker->rebase(window(), commit, final);
                    checker->commit_ = commit;
                    const bool ok = phase == Phase::Content ? checker->root_content() : checker->epilog();
                    if (waits(ok, final)) return slide();
                    if (!ok) return set_error(*checker->failure);
                    if (phase == Phase::Epilog) {
                        phase = Phase::Done;
                        return;
                    }
                    commit = checker->position();
                    phase = Phase::Epilog;
                    continue;
                }
                case Phase::Whole:
                    if (!final) return;
                    error = check_well_formed(window());
                    phase = Phase::Done;
                    return;
                case Phase::Done:
                    return;
            }
        }
    }
};

WellFormedStream::WellFormedStream() : impl_(std::make_unique<Impl>()) {}
WellFormedStream::~WellFormedStream() = default;

bool WellFormedStream::feed(Bytes piece) {
    Impl& m = *impl_;
    if (m.phase == Impl::Phase::Done) return !m.error;
    m.buf.append(piece.data(), piece.size());
    if (m.phase != Impl::Phase::Whole && m.buf.size() - m.commit >= m.need) m.run(false);
    return !m.error;
}

bool WellFormedStream::feed_in_place(Bytes document) {
    Impl& m = *impl_;
    if (m.phase == Impl::Phase::Done) return !m.error;
    m.doc = document;
    if (m.phase != Impl::Phase::Whole && m.window().size() - m.commit >= m.need) m.run(false);
    return !m.error;
}

const std::optional<WfError>& WellFormedStream::finish() {
    if (impl_->phase != Impl::Phase::Done) impl_->run(true);
    return impl_->error;
}

const std::optional<WfError>& WellFormedStream::error() const noexcept { return impl_->error; }

bool WellFormedStream::whole() const noexcept { return impl_->phase == Impl::Phase::Whole; }

std::size_t WellFormedStream::held() const noexcept { return impl_->doc ? 0 : impl_->buf.size(); }

std::size_t WellFormedStream::checked() const noexcept { return impl_->base + impl_->commit; }

}  // namespace quelmar

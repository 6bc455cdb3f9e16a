#include "path/name_matcher.hpp"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "common/utf8.hpp"

namespace quelmar {

// ---------------------------------------------------------------------------
// Glob matching in linear time
//
// A pattern is a run of atoms (a code point, or '?' for any one) cut by stars
// into segments: seg0 * seg1 * ... * segk. Without a star the text must be
// seg0 exactly. With stars, seg0 is anchored at the start and segk at the
// end, and the middle segments are placed greedily, each at its leftmost
// occurrence after the previous one: with atoms of fixed length, a match
// exists exactly when this placement succeeds (moving a segment left never
// hurts the segments after it). So the answers are those of the usual
// backtracking to the last star, without its worst case of pattern length
// times text length steps.
//
// Each middle segment is searched from where the previous one ended up to
// the start of the anchored tail, so the searches together visit each text
// position once: a literal segment with a KMP automaton (one step per
// position, amortised), a segment holding '?' bit-parallel (Shift-And, one
// 64-bit word per 64 atoms). Matching is linear in the text for a given
// pattern: O(n) for literal segments, O(n * ceil(L / 64)) for a segment of L
// atoms holding '?'. Memory is linear in the pattern.

namespace {

constexpr char32_t kAnyAtom = 0xFFFFFFFF;  // '?': no code point has this value
constexpr std::size_t kNotFound = static_cast<std::size_t>(-1);

bool all_ascii(Bytes s) noexcept {
    for (char c : s)
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    return true;
}

// Code points of a text; a text that is not valid UTF-8 becomes empty.
std::u32string decode_or_empty(Bytes s) {
    std::u32string out;
    if (!utf8_valid(s)) return out;
    out.reserve(s.size());
    std::size_t pos = 0;
    while (pos < s.size()) out.push_back(utf8_next(s, pos));
    return out;
}

}  // namespace

class GlobPattern {
public:
    explicit GlobPattern(Bytes pattern);
    bool match(Bytes text) const;

private:
    // 64 atoms of a segment searched bit-parallel: for each code point, the
    // positions it matches (its own positions and the '?' ones).
    struct Block {
        std::uint8_t ascii_index[128] = {};                      // ASCII code point -> index into masks
        std::vector<std::pair<char32_t, std::uint64_t>> others;  // sorted by code point
        std::vector<std::uint64_t> masks;                        // masks[0]: the '?' positions alone

        std::uint64_t mask(char32_t c) const noexcept {
            if (c < 128) return masks[ascii_index[c]];
            auto it = std::lower_bound(others.begin(), others.end(), c,
                                       [](const auto& e, char32_t v) { return e.first < v; });
            return it != others.end() && it->first == c ? it->second : masks[0];
        }
    };
    struct Segment {
        std::size_t begin = 0, len = 0;  // atoms_[begin, begin + len)
        bool any = false;                // holds a '?'
        std::vector<std::size_t> failure;  // a literal middle segment: KMP failure links
        std::vector<Block> blocks;         // a middle segment with '?': Shift-And masks
    };

    void prepare_search(Segment& seg) const;
    template <class T>
    bool match_seq(const T* text, std::size_t n) const;
    template <class T>
    bool at(const Segment& seg, const T* text) const noexcept;
    template <class T>
    std::size_t find(const Segment& seg, const T* text, std::size_t from, std::size_t to) const;

    std::vector<char32_t> atoms_;
    std::vector<Segment> segs_;  // one without a star; else at least two, the middle ones non-empty
    bool star_ = false;
    bool anything_ = false;      // only stars: every text matches, decodable or not
    std::size_t fixed_ = 0;      // atoms in all: the shortest text that can match
};

GlobPattern::GlobPattern(Bytes pattern) {
    const std::u32string cps = decode_or_empty(pattern);  // an undecodable pattern is the empty one
    segs_.emplace_back();
    for (std::size_t i = 0; i < cps.size(); ++i) {
        const char32_t c = cps[i];
        if (c == U'*') {
            star_ = true;
            if (segs_.size() > 1 && segs_.back().len == 0) continue;  // '**' is one star
            segs_.emplace_back();
            segs_.back().begin = atoms_.size();
            continue;
        }
        Segment& seg = segs_.back();
        if (c == U'?') {
            atoms_.push_back(kAnyAtom);
            seg.any = true;
        } else if (c == U'\\' && i + 1 < cps.size()) {
            atoms_.push_back(cps[++i]);
        } else {
            atoms_.push_back(c);  // a trailing '\' is a literal backslash
        }
        ++seg.len;
    }
    fixed_ = atoms_.size();
    anything_ = star_ && fixed_ == 0;
    for (std::size_t i = 1; i + 1 < segs_.size(); ++i) prepare_search(segs_[i]);
}

void GlobPattern::prepare_search(Segment& seg) const {
    const char32_t* a = atoms_.data() + seg.begin;
    if (!seg.any) {
        seg.failure.assign(seg.len, 0);
        for (std::size_t i = 1, k = 0; i < seg.len; ++i) {
            while (k > 0 && a[i] != a[k]) k = seg.failure[k - 1];
            if (a[i] == a[k]) ++k;
            seg.failure[i] = k;
        }
        return;
    }
    for (std::size_t b0 = 0; b0 < seg.len; b0 += 64) {
        Block& blk = seg.blocks.emplace_back();
        const std::size_t nb = std::min<std::size_t>(64, seg.len - b0);
        std::uint64_t any = 0;
        for (std::size_t j = 0; j < nb; ++j)
            if (a[b0 + j] == kAnyAtom) any |= std::uint64_t{1} << j;
        blk.masks.push_back(any);
        for (std::size_t j = 0; j < nb; ++j) {
            const char32_t c = a[b0 + j];
            if (c == kAnyAtom) continue;
            const std::uint64_t bit = std::uint64_t{1} << j;
            if (c < 128) {
                if (blk.ascii_index[c] == 0) {
                    blk.ascii_index[c] = static_cast<std::uint8_t>(blk.masks.size());
                    blk.masks.push_back(any);
                }
                blk.masks[blk.ascii_index[c]] |= bit;
            } else {
                blk.others.emplace_back(c, bit);
            }
        }
        // Merge the non-ASCII entries by code point.
        std::sort(blk.others.begin(), blk.others.end());
        std::size_t w = 0;
        for (std::size_t r = 0; r < blk.others.size(); ++r) {
            if (w > 0 && blk.others[w - 1].first == blk.others[r].first) {
                blk.others[w - 1].second |= blk.others[r].second;
            } else {
                blk.others[w++] = {blk.others[r].first, blk.others[r].second | any};
            }
        }
        blk.others.resize(w);
    }
}

template <class T>
bool GlobPattern::at(const Segment& seg, const T* text) const noexcept {
    const char32_t* a = atoms_.data() + seg.begin;
    for (std::size_t i = 0; i < seg.len; ++i)
        if (a[i] != kAnyAtom && a[i] != static_cast<char32_t>(text[i])) return false;
    return true;
}

// The end of the leftmost occurrence of `seg` within text[from, to), or
// kNotFound. Visits each position of the range at most once (KMP amortised).
template <class T>
std::size_t GlobPattern::find(const Segment& seg, const T* text, std::size_t from, std::size_t to) const {
    if (to - from < seg.len) return kNotFound;
    if (!seg.any) {
        const char32_t* a = atoms_.data() + seg.begin;
        std::size_t q = 0;  // atoms matched so far
        for (std::size_t i = from; i < to; ++i) {
            const auto c = static_cast<char32_t>(text[i]);
            while (q > 0 && a[q] != c) q = seg.failure[q - 1];
            if (a[q] == c && ++q == seg.len) return i + 1;
        }
        return kNotFound;
    }
    const std::size_t words = seg.blocks.size();
    const std::uint64_t last = std::uint64_t{1} << ((seg.len - 1) % 64);
    if (words == 1) {
        const Block& blk = seg.blocks[0];
        std::uint64_t d = 0;
        for (std::size_t i = from; i < to; ++i) {
            d = ((d << 1) | 1) & blk.mask(static_cast<char32_t>(text[i]));
            if (d & last) return i + 1;
        }
        return kNotFound;
    }
    std::vector<std::uint64_t> d(words, 0);
    for (std::size_t i = from; i < to; ++i) {
        const auto c = static_cast<char32_t>(text[i]);
        std::uint64_t carry = 1;
        for (std::size_t w = 0; w < words; ++w) {
            const std::uint64_t old = d[w];
            d[w] = ((old << 1) | carry) & seg.blocks[w].mask(c);
            carry = old >> 63;
        }
        if (d[words - 1] & last) return i + 1;
    }
    return kNotFound;
}

template <class T>
bool GlobPattern::match_seq(const T* text, std::size_t n) const {
    if (!star_) return n == fixed_ && at(segs_[0], text);
    if (n < fixed_) return false;
    const Segment& head = segs_.front();
    const Segment& tail = segs_.back();
    if (!at(head, text) || !at(tail, text + (n - tail.len))) return false;
    std::size_t pos = head.len;
    const std::size_t limit = n - tail.len;
    for (std::size_t i = 1; i + 1 < segs_.size(); ++i) {
        pos = find(segs_[i], text, pos, limit);
        if (pos == kNotFound) return false;
    }
    return true;
}

bool GlobPattern::match(Bytes text) const {
    if (anything_) return true;
    // ASCII (almost every tag name) needs no decoding: each byte is one code point.
    if (all_ascii(text)) return match_seq(ubegin(text), text.size());
    const std::u32string t = decode_or_empty(text);
    return match_seq(t.data(), t.size());
}

// The special characters ('*', '?', '\\', ':') are ASCII and UTF-8 never uses
// ASCII bytes inside a multi-byte sequence, so walking bytes finds exactly the
// characters a walk by code point would; an escape keeps the lead byte of the
// escaped character and its continuation bytes follow as ordinary bytes.
NameMatcher NameMatcher::parse(Bytes text) {
    NameMatcher m;
    bool glob = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\\') {
            ++i;  // skip the escaped byte (a trailing backslash ends the walk)
        } else if (c == '*' || c == '?') {
            glob = true;
            break;
        }
    }
    if (glob) {
        m.kind_ = Kind::Glob;
        m.text_.assign(text);
        m.glob_ = std::make_shared<const GlobPattern>(text);
    } else {
        m.kind_ = Kind::Exact;
        m.text_.reserve(text.size());
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (text[i] == '\\') {
                if (++i == text.size()) break;  // a trailing backslash is dropped
            }
            m.text_.push_back(text[i]);
        }
    }
    // A Glob looks at its raw pattern, so an escaped "\:" counts too.
    m.qualified_ = m.text_.find(':') != std::string::npos;
    return m;
}

bool NameMatcher::matches_glob(Bytes name) const { return glob_->match(name); }

bool glob_match(Bytes pattern, Bytes text) { return GlobPattern(pattern).match(text); }

}  // namespace quelmar

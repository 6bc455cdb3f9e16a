// Applying a path's trailing modifiers (|@sort, |@uniq, |@sum, ...) to the
// items an evaluation produced.
//
// Every modifier that looks at item texts computes each text once: Text items
// are viewed in place, element items are extracted once into an owned string.
// Orderings run over indices and the items are moved into place at the end,
// so the views stay valid while they are compared.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/hash.hpp"
#include "common/text.hpp"
#include "common/utf8.hpp"
#include "engine/engine.hpp"

namespace quelmar {

namespace {

// ---- item texts and numbers

// The texts of all items, computed once. `view[i]` is the text of item i; it
// points into the item itself (Text) or into `owned` (elements), so the items
// must not move while the views are in use.
struct ItemTexts {
    std::vector<Bytes> view;
    std::vector<std::string> owned;

    ItemTexts(const Items& items, Bytes source) {
        std::size_t elements = 0;
        for (const Item& item : items) elements += item.is_element() ? 1 : 0;
        // Reserved up front: a reallocation would move short strings and
        // leave the views into their inline buffers dangling.
        owned.reserve(elements);
        view.reserve(items.size());
        for (const Item& item : items) {
            if (item.is_element()) {
                owned.push_back(item_text(item, source));
                view.push_back(owned.back());
            } else {
                view.push_back(item.bytes);
            }
        }
    }
};

// The numeric value of an item's text: valid UTF-8, trimmed of Unicode white
// space, read whole as a decimal float literal.
std::optional<double> text_number(Bytes text) noexcept {
    if (!utf8_valid(text)) return std::nullopt;
    return parse_decimal_float(trim_unicode_ws(text));
}

// The numeric value of one item, or nothing: what the numeric modifiers
// collect of each item, in item order.
std::optional<double> collapse_numeric(const Item& item, Bytes source) {
    return item.is_element() ? text_number(item_text(item, source)) : text_number(item.bytes);
}

// ---- stable ordering

// Stable sort of `recs` by `less`: a bottom-up merge sort whose leading
// blocks are insertion-sorted. Every access is bounded by run limits rather
// than by what `less` answers, so a comparator that is not a strict weak
// ordering (NaN among numbers) yields some deterministic permutation instead
// of undefined behaviour; for a consistent comparator the result is the
// stable sorted order. A record moves left of another only when
// `less(later, earlier)` holds.
//
// Records (a compact key plus the item index) are sorted rather than bare
// indices: merging then walks memory sequentially, and most comparisons are
// decided by the key without touching the texts (a million texts sort about
// five times faster than through an index array).
template <class Rec, class Less>
void stable_merge_sort(std::vector<Rec>& recs, Less less) {
    const std::size_t n = recs.size();
    if (n < 2) return;

    // Blocks this small are cheaper to insertion-sort than to merge.
    constexpr std::size_t kBlock = 20;
    for (std::size_t lo = 0; lo < n; lo += kBlock) {
        std::size_t hi = std::min(n, lo + kBlock);
        for (std::size_t i = lo + 1; i < hi; ++i) {
            Rec key = recs[i];
            std::size_t j = i;
            while (j > lo && less(key, recs[j - 1])) {
                recs[j] = recs[j - 1];
                --j;
            }
            recs[j] = key;
        }
    }
    if (n <= kBlock) return;

    std::vector<Rec> buffer(n);
    std::vector<Rec>* src = &recs;
    std::vector<Rec>* dst = &buffer;
    for (std::size_t width = kBlock; width < n; width *= 2) {
        const Rec* in = src->data();
        Rec* out = dst->data();
        for (std::size_t lo = 0; lo < n; lo += 2 * width) {
            std::size_t mid = std::min(n, lo + width);
            std::size_t hi = std::min(n, mid + width);
            std::size_t a = lo, b = mid, k = lo;
            // The right run wins only when strictly less: equal records keep
            // their order.
            while (a < mid && b < hi) out[k++] = less(in[b], in[a]) ? in[b++] : in[a++];
            while (a < mid) out[k++] = in[a++];
            while (b < hi) out[k++] = in[b++];
        }
        std::swap(src, dst);
    }
    if (src != &recs) recs.swap(*src);
}

// Moves the items into the order of `recs` (each has an `index`).
template <class Rec>
void permute(Items& items, const std::vector<Rec>& recs) {
    Items sorted;
    sorted.reserve(items.size());
    for (const Rec& r : recs) sorted.push_back(std::move(items[r.index]));
    items = std::move(sorted);
}

// Byte strings by unsigned byte, a proper prefix first (char_traits<char>
// compares as unsigned char).
inline bool text_less(Bytes a, Bytes b) noexcept { return a.compare(b) < 0; }

// The first 8 bytes of a text, big-endian, zero-padded. Texts whose prefixes
// differ compare as their prefixes do; equal prefixes need the texts.
inline std::uint64_t text_prefix(Bytes t) noexcept {
    std::uint64_t p = 0;
    std::size_t n = std::min<std::size_t>(t.size(), 8);
    for (std::size_t i = 0; i < 8; ++i) {
        p <<= 8;
        if (i < n) p |= static_cast<unsigned char>(t[i]);
    }
    return p;
}

// ---- the modifiers

void sort_by_text(Items& items, Bytes source) {
    if (items.size() < 2) return;
    ItemTexts texts(items, source);
    struct Rec {
        std::uint64_t prefix;
        std::size_t index;
    };
    std::vector<Rec> recs;
    recs.reserve(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) recs.push_back(Rec{text_prefix(texts.view[i]), i});
    const Bytes* view = texts.view.data();
    stable_merge_sort(recs, [view](const Rec& a, const Rec& b) {
        if (a.prefix != b.prefix) return a.prefix < b.prefix;
        return text_less(view[a.index], view[b.index]);
    });
    permute(items, recs);
}

// Numbers first by value (NaN neither less nor greater than any number), then
// the rest by text.
void sort_numeric(Items& items, Bytes source) {
    if (items.size() < 2) return;
    ItemTexts texts(items, source);
    struct Rec {
        double value;          // numeric items
        std::uint64_t prefix;  // the others
        std::size_t index;
        bool numeric;
    };
    std::vector<Rec> recs;
    recs.reserve(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        std::optional<double> v = text_number(texts.view[i]);
        recs.push_back(Rec{v.value_or(0.0), v ? 0 : text_prefix(texts.view[i]), i, v.has_value()});
    }
    const Bytes* view = texts.view.data();
    stable_merge_sort(recs, [view](const Rec& a, const Rec& b) {
        if (a.numeric && b.numeric) {
            // NaN, unordered against every number, would leave the numbers
            // around it unsorted: it goes after the others.
            const bool a_nan = std::isnan(a.value), b_nan = std::isnan(b.value);
            if (a_nan || b_nan) return !a_nan && b_nan;
            return a.value < b.value;
        }
        if (a.numeric != b.numeric) return a.numeric;
        if (a.prefix != b.prefix) return a.prefix < b.prefix;
        return text_less(view[a.index], view[b.index]);
    });
    permute(items, recs);
}

// Keeps the first item of each distinct text, in order. The set of texts seen
// is an open-addressing table of item indices (no allocation per item),
// keyed so that crafted texts cannot pile into one probe chain.
void unique_by_text(Items& items, Bytes source) {
    const std::size_t n = items.size();
    if (n < 2) return;
    std::vector<char> keep(n, 0);
    {
        // The table refers to views into `texts`; everything is decided
        // before any item moves.
        ItemTexts texts(items, source);
        std::size_t capacity = 16;
        while (capacity < 2 * n) capacity *= 2;  // load at most one half
        const std::size_t mask = capacity - 1;
        std::vector<std::size_t> slots(capacity, 0);  // item index + 1; 0 is empty
        std::vector<std::size_t> hashes(n);
        for (std::size_t i = 0; i < n; ++i) {
            Bytes text = texts.view[i];
            const auto h = static_cast<std::size_t>(keyed_hash(text));
            hashes[i] = h;
            std::size_t pos = h & mask;
            bool seen = false;
            while (slots[pos] != 0) {
                std::size_t j = slots[pos] - 1;
                if (hashes[j] == h && texts.view[j] == text) {
                    seen = true;
                    break;
                }
                pos = (pos + 1) & mask;
            }
            if (!seen) {
                slots[pos] = i + 1;
                keep[i] = 1;
            }
        }
    }
    std::size_t w = 0;
    for (std::size_t r = 0; r < n; ++r) {
        if (!keep[r]) continue;
        if (w != r) items[w] = std::move(items[r]);
        ++w;
    }
    items.erase(items.begin() + static_cast<std::ptrdiff_t>(w), items.end());
}

// count, sum, avg, min, max: the same fold as items arriving one by one.
void aggregate(Modifier m, Items& items, Bytes source) {
    ItemSink folded(m, source);
    for (const Item& item : items) folded.push(item);
    items = std::move(folded).take();
}

}  // namespace

ItemSink::ItemSink(Modifier m, Bytes source) noexcept {
    fold_.on = true;
    fold_.modifier = m;
    fold_.source = source;
    switch (m) {
        case Modifier::Sum:
        case Modifier::Avg: fold_.acc = -0.0; break;  // the empty sum; -0.0 + 0.0 is 0.0, so it never shows
        case Modifier::Min: fold_.acc = HUGE_VAL; break;
        case Modifier::Max: fold_.acc = -HUGE_VAL; break;
        default: break;
    }
}

inline void ItemSink::fold_value(std::optional<double> v) {
    if (!v) return;
    ++fold_.numeric;
    switch (fold_.modifier) {
        case Modifier::Sum:
        case Modifier::Avg: fold_.acc += *v; break;
        case Modifier::Min:
            if (*v < fold_.acc) fold_.acc = *v;  // false for NaN: passed over
            break;
        case Modifier::Max:
            if (*v > fold_.acc) fold_.acc = *v;
            break;
        default: break;
    }
}

void ItemSink::fold_add(const Item& item) {
    ++fold_.count;
    if (fold_.modifier == Modifier::Count) return;
    fold_value(collapse_numeric(item, fold_.source));
}

void ItemSink::fold_text(Bytes text) {
    ++fold_.count;
    fold_value(text_number(text));
}

Items ItemSink::take() && {
    if (!fold_.on) return std::move(items_);
    std::string text;
    if (fold_.modifier == Modifier::Count) {
        char buf[24];
        auto res = std::to_chars(buf, buf + sizeof buf, fold_.count);
        text.assign(buf, res.ptr);
    } else if (fold_.modifier == Modifier::Avg) {
        text = format_number(fold_.acc / static_cast<double>(fold_.numeric));  // 0/0: NaN
    } else {
        text = format_number(fold_.acc);
    }
    Items items;
    items.push_back(Item::text(std::move(text)));
    return items;
}

ItemSink begin_modifiers(const Program& program, Bytes source) noexcept {
    if (!program.modifiers.empty() && ItemSink::folds(program.modifiers[0]))
        return ItemSink(program.modifiers[0], source);
    return ItemSink();
}

Items finish_modifiers(const Program& program, ItemSink&& sink, Bytes source) {
    const bool folded = !program.modifiers.empty() && ItemSink::folds(program.modifiers[0]);
    Items items = std::move(sink).take();
    if (folded) {
        // The first modifier was applied while the items arrived.
        const std::vector<Modifier> rest(program.modifiers.begin() + 1, program.modifiers.end());
        apply_modifiers(rest, items, source);
    } else {
        apply_modifiers(program.modifiers, items, source);
    }
    return items;
}

void apply_modifiers(const std::vector<Modifier>& modifiers, Items& items, Bytes source) {
    for (Modifier m : modifiers) {
        switch (m) {
            case Modifier::Reverse: std::reverse(items.begin(), items.end()); break;
            case Modifier::First:
                if (items.size() > 1) items.erase(items.begin() + 1, items.end());
                break;
            case Modifier::Last:
                if (items.size() > 1) items.erase(items.begin(), items.end() - 1);
                break;
            case Modifier::Sort: sort_by_text(items, source); break;
            case Modifier::SortN: sort_numeric(items, source); break;
            case Modifier::Uniq: unique_by_text(items, source); break;
            case Modifier::Flatten:
            case Modifier::ToStr: break;
            case Modifier::Sum:
            case Modifier::Avg:
            case Modifier::Min:
            case Modifier::Max:
            case Modifier::Count: aggregate(m, items, source); break;
        }
    }
}

}  // namespace quelmar

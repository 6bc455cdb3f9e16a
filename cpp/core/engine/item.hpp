// What the engine returns (Items and EngineErrors) and where it puts items
// while it runs (an ItemSink).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/bytes.hpp"
#include "engine/shared_bytes.hpp"
#include "path/program.hpp"
#include "xml/reader.hpp"

namespace quelmar {

// Where an item's bytes are and what they are: two words, copied as such
// (a class of its own, trivially copyable, so that moving an Item copies
// the words whole instead of one bit-field at a time).
struct ItemHead {
    enum class Kind : std::uint8_t {
        OwnedElement,  // `bytes`: the raw XML of one element
        ElementSpan,   // [start, end) into the caller's source document
        Text,          // `bytes`: UTF-8 text (text, attribute value, count, computed value)
    };
    // The offsets are 55 bits wide (32 PiB, beyond any address space a
    // document can live in; documents of 4 GiB and more are still addressed
    // whole), so that `preserve` and `kind`, and `encoding`, fill the top
    // bits of their words.
    std::uint64_t start : 55 = 0;
    // Inside an xml:space="preserve" scope the pass has seen: white space is
    // part of the text. For an element, the scope around it (its own tag
    // may open or end one); for a text, the scope it was read in.
    std::uint64_t preserve : 1 = 0;
    Kind kind = Kind::Text;
    std::uint64_t end : 55 = 0;
    // The encoding of the document an element came from: its bytes are
    // re-read later (element text, children) and must be decoded the same way.
    Encoding encoding = Encoding::Utf8;
};

// 24 bytes: the head's two words, and the bytes as one shared block.
struct Item : ItemHead {
    SharedString bytes;

    static constexpr std::uint64_t kOffsetMask = (std::uint64_t{1} << 55) - 1;

    static Item text(std::string s) {
        Item it;
        it.kind = Kind::Text;
        it.bytes = Bytes(s);
        return it;
    }
    // The entities of the document's internal subset travel with the
    // element's bytes, when what they expand to fits the pass's budget.
    static Item owned(std::string s, const Coding& c) {
        Item it;
        it.kind = Kind::OwnedElement;
        it.encoding = c.encoding;
        it.bytes = Bytes(s);
        if (c.entities() != nullptr && it.bytes.block() != nullptr && charge_expansions(c.scope, s, c.encoding))
            it.bytes.block()->set_entities(c.entities());
        return it;
    }
    static Item span(std::uint64_t s, std::uint64_t e, Encoding enc) {
        Item it;
        it.kind = Kind::ElementSpan;
        it.encoding = enc;
        it.start = s & kOffsetMask;
        it.end = e & kOffsetMask;
        return it;
    }
    bool is_element() const noexcept { return kind != Kind::Text; }
    Item&& in_scope(bool preserve_scope) && noexcept {
        preserve = preserve_scope ? 1 : 0;
        return std::move(*this);
    }
    // The entities an owned element's text expands (none for spans: a
    // document with entities is captured in owned copies).
    const EntityTable* entities() const noexcept {
        return bytes.block() != nullptr ? bytes.block()->entities() : nullptr;
    }
};

static_assert(sizeof(Item) == 24, "an item is three words");
static_assert(std::is_trivially_copyable_v<ItemHead> && sizeof(ItemHead) == 16);

// The item sequence of one evaluation, as the engine returns it.
using Items = std::vector<Item>;

// Where an evaluation puts its items. A sink collects them in order, or,
// when a path's first modifier reduces the whole sequence to one number
// (count, sum, avg, min, max), folds them into that number as they arrive:
// counting a million elements then costs no memory. Either way received()
// counts the items given, which is all the matchers ask of it.
class ItemSink {
public:
    ItemSink() = default;  // collects
    // Folds into `m` (one that folds()); `source` is the document that spans
    // refer to.
    ItemSink(Modifier m, Bytes source) noexcept;

    // Whether `m` can fold items as they arrive.
    static bool folds(Modifier m) noexcept {
        return m == Modifier::Count || m == Modifier::Sum || m == Modifier::Avg || m == Modifier::Min ||
               m == Modifier::Max;
    }

    void push(Item&& item) {
        if (fold_.on) fold_add(item);
        else items_.push_back(std::move(item));
    }
    void push(const Item& item) {
        if (fold_.on) fold_add(item);
        else items_.push_back(item);
    }
    // A text item (`preserve`: read in an xml:space="preserve" scope); a
    // fold takes its number without making the item.
    void push_text(Bytes text, bool preserve = false) {
        if (!fold_.on) items_.push_back(Item::text(std::string(text)).in_scope(preserve));
        else if (fold_.modifier == Modifier::Count) ++fold_.count;
        else fold_text(text);
    }
    // Moves in `items`, in order.
    void push_all(Items&& items) {
        for (Item& item : items) push(std::move(item));
    }
    // The same for what a collecting sink received.
    void push_all(ItemSink&& other) { push_all(std::move(other.items_)); }

    std::size_t received() const noexcept { return fold_.on ? fold_.count : items_.size(); }
    // Whether items are folded into a number (none is kept).
    bool folds() const noexcept { return fold_.on; }
    bool empty() const noexcept { return received() == 0; }
    // The items collected so far (none while folding).
    const Items& items() const noexcept { return items_; }

    // Whether items are folded into a number made of their texts (sum, avg,
    // min, max): then an element item may be given as its text instead.
    bool folds_numbers() const noexcept { return fold_.on && fold_.modifier != Modifier::Count; }
    // Folds one item given by its text (folds_numbers() must hold).
    void fold_text(Bytes text);

    // The sequence: the items collected, or the one text item of the fold.
    Items take() &&;

private:
    void fold_add(const Item& item);
    // Inlined into both callers (modifiers.cpp): out of line, its call
    // added 0.2% to the instructions of a sum over 13,000 elements.
    [[gnu::always_inline]] inline void fold_value(std::optional<double> v);

    Items items_;
    struct Fold {
        bool on = false;
        Modifier modifier = Modifier::Count;
        std::size_t count = 0;    // items received
        std::size_t numeric = 0;  // of which had a numeric value
        double acc = 0;
        Bytes source;
    } fold_;
};

struct EngineError {
    enum class Kind : std::uint8_t {
        Ambiguous,  // `name`: the step's element-name text
        TooDeep,    // filters nested inside filtered fragments beyond the supported depth
    };
    Kind kind = Kind::Ambiguous;
    std::string name;

    // The message the Python layer raises as ValueError.
    std::string message() const;
};

}  // namespace quelmar

// Engine internals shared by the single-path matcher, the filter routes and
// the multi-path pass.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "engine/children.hpp"
#include "engine/engine.hpp"

namespace quelmar::detail {

// Result of every matching operation: success, or a reason to stop.
enum class Outcome : std::uint8_t { Ok, Ambiguous, Done, TooDeep };

// How the streaming filter route stores what it collects: as the program's
// result hint says (the single-path matcher always collects Elements).
using CollectMode = ResultHint;

// Filtered fragments evaluate the rest of a path with a nested matcher;
// nesting needs one filter step per level, so it is bounded by the path,
// and capped here so that hostile paths cannot exhaust the C++ stack.
inline constexpr int kMaxFragmentNesting = 256;

struct EvalContext {
    Bytes source;              // the bytes the reader runs over
    bool emit_spans = false;
    bool first_item_only = false;
    int fragment_depth = 0;    // nesting of fragment evaluations
    // Whether an empty-element match takes part in the ambiguity rule of its
    // level. Always so in a query; off only in the reference the multi-path
    // pass is checked against (it leaves those matches out), and never
    // handed on to fragments, which the multi-path pass evaluates with
    // this engine.
    bool empty_tags_ambiguous = true;
    // Whether the context element (or the top of the input) lies in an
    // xml:space="preserve" scope: the items found inside inherit it.
    bool preserve_scope = false;
    EngineError* error = nullptr;  // filled for Ambiguous / TooDeep
};

// The per-level state of an element step's selector, and the one decision
// every matcher (the single-path levels, the many-path cursors, the
// streaming filter's next step) takes when a child's name matches the step.
struct SelectorState {
    std::uint64_t count = 0;  // matches so far at this level
    bool seen = false;        // a selector-less step matched already
};

enum class Selected : std::uint8_t {
    No,         // not selected: a count counts it, an index is another one
    Yes,        // capture it, or apply the rest of the path to it
    IfFilter,   // selected if the step's filter holds for it
    Ambiguous,  // a selector-less step matched twice while the path goes on
};

// `ambiguity`: whether the match takes part in the ambiguity rule (the step
// is not the path's last; an empty-element tag takes part in a query, not
// in the many-path pass).
[[gnu::always_inline]] inline Selected select_match(const Step& st, SelectorState& s, bool ambiguity) {
    const std::uint64_t index = s.count++;
    switch (st.selector.kind) {
        case Selector::Kind::None:
            if (ambiguity) {
                if (s.seen) return Selected::Ambiguous;
                s.seen = true;
            }
            return Selected::Yes;
        case Selector::Kind::Each: return Selected::Yes;
        case Selector::Kind::Index: return index == st.selector.index ? Selected::Yes : Selected::No;
        case Selector::Kind::Count: return Selected::No;
        case Selector::Kind::Filter:
        case Selector::Kind::FilterAll: return Selected::IfFilter;
    }
    return Selected::No;
}

// A tag's name as the path's matchers see it. Names are compared as text:
// in a legacy-encoded document a name with non-ASCII bytes is decoded to
// UTF-8 first (UTF-8 documents compare their bytes as they stand).
class TagName {
public:
    TagName(Bytes raw, Encoding enc) : name_(raw) {
        if (enc != Encoding::Utf8) [[unlikely]] decode(raw, enc);
    }
    [[gnu::always_inline]] bool accepted_by(const NameMatcher& m) const { return m.matches_name(name_); }
    Bytes text() const noexcept { return name_; }

private:
    void decode(Bytes raw, Encoding enc);
    Bytes name_;
    // A decoded non-ASCII name (rare), held apart: an empty std::string
    // costs every tag more to make and drop than a null pointer.
    std::unique_ptr<std::string> decoded_;
};

// Reads through the element whose start tag was just read (inside_element:
// Reader::read_to_end), or to the end of the input.
void consume_to_end(Reader& reader, bool inside_element);

// Skips the element whose start tag was just read, ending where the event
// loops end its level (Reader::read_to_end); reader errors are dropped (the
// position after the error is used).
inline void skip_element(Reader& reader) { (void)reader.read_to_end(); }

// A captured element [p, q) of the source: a span or an owned copy. A
// document with entities is always captured in owned copies, which carry
// them.
inline Item capture_item(Bytes source, std::uint64_t p, std::uint64_t q, bool emit_spans, const Coding& enc) {
    if (q < p) q = p;
    if (q > source.size()) q = source.size();
    // The entities of a document travel with owned copies only: a span
    // would be read later without them.
    if (emit_spans && enc.entities() == nullptr) return Item::span(p, q, enc);
    return Item::owned(std::string(source.substr(p, q - p)), enc);
}

// Whether `text`, the text of `element` (which lies in the scope `around`),
// keeps its white space: asked only of a text with white space at an end.
bool text_keeps_space(Bytes text, bool around, Bytes element) noexcept;
// Keeps `text`, the text of `element`, marked with its scope.
void push_element_text(ItemSink& out, Bytes text, bool around, Bytes element);

// Stores the element [p, q) of `source` in `out` as `mode` says: the
// element itself (capture_item), its text (`text()`, which the caller
// reads at most once for all who want it), or an empty placeholder.
// `preserve`: the xml:space scope around the element (kept on an element;
// a text kept as the element's is marked with the scope it was read in).
template <class Text>
[[gnu::always_inline]] inline void collect_element(ItemSink& out, CollectMode mode, Bytes source, std::uint64_t p,
                                                   std::uint64_t q, bool emit_spans, const Coding& enc, Text&& text,
                                                   bool preserve = false) {
    switch (mode) {
        case CollectMode::Placeholders: out.push_text(Bytes()); break;
        case CollectMode::Texts:
            if (out.folds()) out.push_text(text());
            else push_element_text(out, text(), preserve, source.substr(p, q - p));
            break;
        case CollectMode::Elements: out.push(capture_item(source, p, q, emit_spans, enc).in_scope(preserve)); break;
    }
}

// Runs `steps` (non-empty) with the start tag `context` as context, or at
// the top of the reader's input when `context` is null.
Outcome enter(Reader& reader, const EvalContext& ctx, const Event* context, const Step* steps,
              std::size_t nsteps, ItemSink& items, bool single_valued);

// The empty-element tag `tag` matched; apply what follows it.
void handle_empty_inner(const Event& tag, const Step* rest, std::size_t nrest, ItemSink& items, const Coding& enc);

// Applies `rest` inside a fragment (the bytes of one element); `preserve`:
// the xml:space scope around the element.
Outcome apply_within_fragment(Bytes fragment, const Step* rest, std::size_t nrest, ItemSink& items, const Coding& enc,
                              const EvalContext& outer, bool preserve = false);

// Filter evaluation.
bool compare(Bytes left, CompareOp op, const FilterValue& value);
// The same for a left side that may not be UTF-8: each invalid sequence
// compares as U+FFFD.
bool compare_text(Bytes left, CompareOp op, const FilterValue& value);
// Whether `filter` holds for the element in `fragment` (Ok + result), or a
// reason to stop.
Outcome eval_filter(Bytes fragment, const Filter& filter, const Coding& enc, const EvalContext& outer, bool& holds);
// The attribute route: the filter's attribute read from a start or
// empty-element tag. A missing attribute makes the filter false whatever
// the operator.
bool attribute_filter_holds(const Event& tag, const Filter& filter, const Coding& enc);
bool eval_child_filter_fast(Bytes fragment, const Step& step, CompareOp op, const FilterValue& value,
                            const Coding& enc);

// The streaming route of a filter (one whose left side is a plain child and
// whose path goes on by at most one step, fits_streaming_route): fed the
// filtered element's child tags as they come, it notes the left-hand text
// (the first child the left side's step accepts) and keeps the next step's
// results; at the element's end it decides the filter and hands over what
// the path selects. The single-path matcher drives it over the children it
// reads for it (stream_filter_scope); the many-path pass over the children
// it reads anyway for other paths.
class StreamFilter {
public:
    StreamFilter(const Filter& filter, const Step* rest, std::size_t nrest, CollectMode mode) noexcept
        : filter_(&filter), next_(nrest == 1 ? rest : nullptr),
          next_element_(next_ != nullptr && next_->is_element() ? next_ : nullptr), mode_(mode) {}

    struct Child {
        bool candidate;  // gives the left-hand text (then given to take_left; "" for an empty tag)
        bool result;     // a result of the next step (then given to keep)
    };
    // A child's start or empty-element tag.
    [[gnu::always_inline]] Child child(const TagName& name) {
        Child c{!has_left_ && name.accepted_by(filter_->path[0].matcher), false};
        has_left_ = has_left_ || c.candidate;
        c.result = next_element_ != nullptr && name.accepted_by(next_element_->matcher) &&
                   select_match(*next_element_, next_matches_, false) == Selected::Yes;
        return c;
    }
    void take_left(Bytes text) { left_.assign(text); }
    // The same read from the child whose start tag the reader just returned.
    Bytes read_left(Reader& reader) {
        read_text_in_scope(reader, left_);
        return left_;
    }
    // A result child [p, q) of `source`; `text()` gives its text.
    template <class Text>
    void keep(Bytes source, std::uint64_t p, std::uint64_t q, bool emit_spans, const Coding& enc, Text&& text) {
        collect_element(pending_, mode_, source, p, q, emit_spans, enc, text, text_scope_);
    }
    // Texts kept as results are marked with their scope as they come: the
    // filtered element's start tag `tag`, in the scope `around`, sets the
    // scope of its children. (Elements are marked when the filter holds.)
    void text_scope(bool around, const Event& tag) noexcept {
        if (mode_ == CollectMode::Texts) [[unlikely]] set_text_scope(around, tag);
    }

    // The filtered element [p, q) of `source`, whose start tag is `tag`, has
    // ended: whether the filter held; if it did, what the path selects went
    // to `out`.
    // `preserve`: the xml:space scope around the filtered element.
    bool decide(ItemSink& out, Bytes source, const Event& tag, std::uint64_t p, std::uint64_t q, bool emit_spans,
                const Coding& enc, bool preserve = false);

private:
    void set_text_scope(bool around, const Event& tag) noexcept;

    const Filter* filter_;
    const Step* next_;          // the step after the filtered one, if any
    const Step* next_element_;  // the same when it is an element step
    CollectMode mode_;
    bool has_left_ = false;
    bool text_scope_ = false;
    SelectorState next_matches_;
    std::string left_;
    ItemSink pending_;
};

// The single-path driver of the streaming route: one pass over the element
// whose start tag was just read, through its end tag. `rest` has at most one
// step.
// `preserve`: the xml:space scope around the element.
bool stream_filter_scope(Reader& reader, Bytes source, const Event& tag, const Filter& filter, const Step* rest,
                         std::size_t nrest, std::uint64_t p, CollectMode mode, bool emit_spans, ItemSink& items,
                         bool preserve = false);

// The filter `filter` on the empty-element tag `tag` (`held`: whether it
// held); when it holds, the rest of the path applied to the element goes
// to `out`. An attribute filter reads the tag as on a start tag, so an
// element's answer does not depend on it being written empty.
Outcome filter_empty_element(const Event& tag, const Filter& filter, const Step* rest, std::size_t nrest,
                             ItemSink& out, const Coding& enc, const EvalContext& outer, bool& held);

// Whether a filter and the rest of its path fit the streaming route.
bool fits_streaming_route(const Filter& filter, const Step* rest, std::size_t nrest);

}  // namespace quelmar::detail

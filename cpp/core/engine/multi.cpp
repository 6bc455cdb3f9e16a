// The multi-path pass: several programs over one document in one reader
// pass. Each entered element level holds one cursor per program still
// looking for something there; at each start tag one action per cursor
// decides whether the element is entered (once, for all cursors that look
// inside), captured, counted or filtered.
//
// Levels, cursors and actions live on three stacks that grow and shrink
// with the document's nesting, so no element costs an allocation once the
// stacks have reached their depth, and nesting costs heap, not C++ stack.
#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "common/utf8.hpp"
#include "engine/batch.hpp"
#include "engine/internal.hpp"

namespace quelmar {
namespace detail {
namespace {

using SelKind = Selector::Kind;

// Drops the elements from `n` on, inline (vector::resize is a call, and the
// stacks shrink at every tag).
template <class T>
inline void truncate(std::vector<T>& v, std::size_t n) {
    v.erase(v.begin() + static_cast<std::ptrdiff_t>(n), v.end());
}

struct Cursor {
    const Step* st;  // the step to match at this level (nullptr past the program's last step)
    std::uint32_t program;
    std::uint32_t step;
    [[no_unique_address]] SelectorState sel;  // the flags below fill its tail padding
    bool is_count;
    bool stops;         // Index / Filter: one result ends the cursor's level
    bool finished;
    bool single_valued;  // every step above this level selects at most one element
    bool last;           // the step is the program's last
};

struct Action {
    enum class Kind : std::uint8_t {
        Ignore, SearchInside, Capture, Descend, FilterCheck,
        Watched,  // a FilterCheck decided by a watch while the element's children are scanned
        Watch,    // a child a watch needs: the filter's left side and/or a result of the next step
    };
    Kind kind;
    std::uint32_t cursor;      // index into the cursor stack (Watch: into the watch stack)
    std::size_t items_before;  // Descend: the program's result count before the descent
    bool candidate = false;    // Watch: this child gives the filter's left-hand text
    bool result = false;       // Watch: this child is a result of the next step
    bool streams = false;      // FilterCheck: the filter fits the streaming route
};

// A filter on the streaming route, decided during the scan of the filtered
// element's children that other paths make anyway (instead of reading the
// element a second time).
struct Watch {
    std::uint32_t cursor;  // the FilterCheck cursor, in the parent level
    StreamFilter machine;
};

struct Level {
    std::size_t cursor_begin;  // this level's cursors: cursors[cursor_begin, cursor_end)
    std::size_t cursor_end;
    bool has_context;
    // While a child level runs for the start tag `tag` of this level:
    std::size_t action_begin = 0;  // its actions: actions[action_begin, action_end)
    std::size_t action_end = 0;
    std::size_t text_begin = 0;    // programs wanting the tag's text: text_programs[text_begin, ...)
    std::uint64_t tag_p = 0;
    Event tag;
    std::size_t watch_begin = 0;  // watches deciding this level's element: watches[watch_begin, watch_end)
    std::size_t watch_end = 0;
    bool serve = false;  // the pending actions include captures, filters, watches or Index descents
    bool preserve = false;  // inside an xml:space="preserve" scope
};

class ManyPass {
public:
    ManyPass(const std::vector<const Program*>& programs, Bytes source, bool emit_spans,
             std::vector<ItemSink>& results, EngineError& err, bool preserve = false)
        : programs_(programs), source_(source), emit_spans_(emit_spans), results_(results), err_(err),
          preserve_(preserve) {
        ctx_.error = &err_;
        state_.reserve(programs.size());
        for (const Program* prog : programs) {
            const bool first_only = !prog->modifiers.empty() && prog->modifiers[0] == Modifier::First;
            // A program without steps has its (empty) answer already.
            state_.push_back(static_cast<std::uint8_t>((prog->steps.empty() ? kComplete : 0) |
                                                       (first_only ? kFirstOnly : 0)));
        }
        actions_.reserve(16);
    }

    // Whole document: cursors at step 0 for every program with steps.
    Outcome run_document(Reader& reader) {
        for (std::uint32_t i = 0; i < programs_.size(); ++i) {
            if (programs_[i]->steps.empty()) continue;
            // @x or #text at the top of a document has no element to read.
            if (!programs_[i]->steps[0].is_element()) state_[i] |= kComplete;
            push_cursor(i, 0, true);
        }
        if (cursors_.empty()) return Outcome::Ok;
        push_level(0, cursors_.size(), false, preserve_);
        return loop(reader, 0);
    }

    // One element: the reader skips to the element's own tag, which is the
    // context of the programs' first steps.
    Outcome run_element(Reader& reader) {
        for (std::uint32_t i = 0; i < programs_.size(); ++i)
            if (!programs_[i]->steps.empty()) push_cursor(i, 0, true);
        if (cursors_.empty()) return Outcome::Ok;
        for (;;) {
            const std::uint64_t p = reader.buffer_position();
            Event ev = reader.read_event();
            if (ev.kind == EventKind::Empty) {
                collect_attr_text(ev, 0, reader, /*empty=*/true);
                // An empty element has no children; counts of them answer 0.
                for (const Cursor& c : cursors_)
                    if (c.is_count) results_[c.program].push(Item::text("0"));
                return Outcome::Ok;
            }
            if (ev.kind == EventKind::Start) {
                // A parent level stands for the element itself: it receives
                // the element's text once its content has been read.
                push_level(0, 0, false, preserve_);
                levels_.back().tag = ev;
                levels_.back().tag_p = p;
                collect_attr_text(ev, 0, reader, false);
                push_level(0, cursors_.size(), true, preserve_inside(preserve_, ev.content, ev.name_len));
                return loop(reader, 1);
            }
            if (ev.kind == EventKind::Eof) return Outcome::Ok;
        }
    }

private:
    // Levels and cursors are built in place: a whole one built aside and
    // copied in stalls on its own byte-wise stores.
    void push_level(std::size_t begin, std::size_t end, bool has_context, bool preserve) {
        Level& L = levels_.emplace_back();
        L.cursor_begin = begin;
        L.cursor_end = end;
        L.has_context = has_context;
        L.preserve = preserve;
    }

    // True when the cursor's step is @attr or #text (answered by the tag).
    bool push_cursor(std::uint32_t program, std::uint32_t step, bool single_valued) {
        const auto& steps = programs_[program]->steps;
        Cursor& c = cursors_.emplace_back();
        c.st = step < steps.size() ? &steps[step] : nullptr;
        c.program = program;
        c.step = step;
        c.single_valued = single_valued;
        c.last = step + 1 == steps.size();
        if (step < steps.size() && steps[step].is_element()) {
            const auto k = steps[step].selector.kind;
            c.is_count = k == SelKind::Count;
            c.stops = k == SelKind::Index || k == SelKind::Filter;
            return false;
        }
        return step < steps.size();
    }

    const Step* rest_of(const Cursor& c, std::size_t& nrest) const {
        const auto& steps = programs_[c.program]->steps;
        nrest = steps.size() - c.step - 1;
        return steps.data() + c.step + 1;
    }
    ResultHint hint(const Cursor& c) const { return programs_[c.program]->result_hint; }
    // A program is done when it stops at its first item and has one, or when
    // a level that wants one result found it and every level above it
    // selects at most one element: the single-path engine stops there too,
    // so nothing later in the document (not even an ambiguity) concerns it.
    bool program_done(std::uint32_t program) const {
        const std::uint8_t s = state_[program];
        return (s & kComplete) || ((s & kFirstOnly) && !results_[program].empty());
    }
    // Being done never ends for a program, so the scan resumes at the first
    // program that was not done at the last call.
    bool all_done() {
        while (first_live_ < programs_.size() && program_done(first_live_)) ++first_live_;
        return first_live_ == programs_.size();
    }
    // The cursor's level has found the one result it wants.
    void level_found(Cursor& c) {
        c.finished = true;
        if (c.single_valued) state_[c.program] |= kComplete;
    }

    // Programs whose cursor reached an attribute or a text step at a tag take
    // their answer from the tag itself; such cursors are removed from
    // cursors_[from, end). Text answers are delivered once the element has
    // been read (`text_programs_`), at once for an empty element.
    void collect_attr_text(const Event& tag, std::size_t from, Reader& reader, bool empty) {
        std::size_t out = from;
        for (std::size_t i = from; i < cursors_.size(); ++i) {
            const Cursor c = cursors_[i];
            const Step* st = c.st;
            if (st && st->kind == Step::Kind::Attribute) {
                if (auto v = read_attr(tag.content, tag.name_len, st->attribute, reader.coding()))
                    results_[c.program].push(Item::text(std::move(*v)));
                continue;
            }
            if (st && st->kind == Step::Kind::Text) {
                // The element's text, as the single-path engine gives it.
                if (empty) results_[c.program].push(Item::text(std::string()));
                else text_programs_.push_back(c.program);
                continue;
            }
            cursors_[out++] = c;
        }
        truncate(cursors_, out);
    }

    bool has_element_cursor(const Level& L) const {
        if (L.watch_end > L.watch_begin) return true;
        for (std::size_t i = L.cursor_begin; i < L.cursor_end; ++i) {
            const Step* st = cursors_[i].st;
            if (st && st->is_element()) return true;
        }
        return false;
    }

    // Runs levels until the stack is back at `stop_depth` levels.
    Outcome loop(Reader& reader, std::size_t stop_depth) {
        if (!has_element_cursor(levels_.back())) {
            consume_to_end(reader, levels_.back().has_context);
            Outcome o = finish_level(reader, stop_depth);
            if (o != Outcome::Ok) return o;
        }
        while (levels_.size() > stop_depth) {
            if (all_done()) return Outcome::Done;
            std::uint64_t p;
            Event ev = reader.read_markup_event(p);  // text concerns no level
            Outcome o = Outcome::Ok;
            switch (ev.kind) {
                case EventKind::Start: o = on_start(reader, ev, p, stop_depth); break;
                case EventKind::Empty: o = on_empty(reader, ev, p); break;
                case EventKind::End:
                case EventKind::Eof:
                case EventKind::Error: {
                    // A reader error ends the level as its end would; counts
                    // report what they counted.
                    const Level& L = levels_.back();
                    for (std::size_t i = L.cursor_begin; i < L.cursor_end; ++i)
                        if (cursors_[i].is_count)
                            results_[cursors_[i].program].push(Item::text(std::to_string(cursors_[i].sel.count)));
                    o = finish_level(reader, stop_depth);
                    break;
                }
                default: break;
            }
            if (o != Outcome::Ok) return o;
        }
        return Outcome::Ok;
    }

    Outcome ambiguous(const Cursor& c) {
        err_.kind = EngineError::Kind::Ambiguous;
        err_.name = c.st->matcher.text();
        return Outcome::Ambiguous;
    }

    // What the actions at one start tag add up to: they decide its route.
    struct Plan {
        bool enter = false;             // a cursor looks inside the element
        bool descend = false;           // ... to apply the rest of its path there
        bool index_descent = false;     // ... for a step that stops at its result
        bool searches_capture = true;   // every search inside captures what it finds
        bool capture = false;           // a cursor captures the element
        bool all_capture_text = true;   // ... each as its text
        bool watch = false;             // a watch of the level needs the element
        std::size_t filters = 0;        // filters to decide on it
        std::size_t streamable = 0;     // ... of which fit the streaming route
    };

    // Appends the actions of the cursors (and watches) of `L` at a child's
    // start tag to actions_, and says what they add up to.
    Outcome plan_actions(const Level& L, const TagName& tag_name, Plan& plan) {
        for (std::size_t i = L.cursor_begin; i < L.cursor_end; ++i) {
            Cursor& c = cursors_[i];
            Action::Kind k = Action::Kind::Ignore;
            const Step* st = c.st;
            if (!c.finished && !program_done(c.program) && st && st->is_element()) {
                if (!tag_name.accepted_by(st->matcher)) {
                    if (st->descendant) k = Action::Kind::SearchInside;
                } else {
                    switch (select_match(*st, c.sel, !c.last)) {
                        case Selected::Yes: k = c.last ? Action::Kind::Capture : Action::Kind::Descend; break;
                        case Selected::IfFilter: k = Action::Kind::FilterCheck; break;
                        case Selected::Ambiguous: return ambiguous(c);
                        case Selected::No: break;
                    }
                }
            }
            if (k == Action::Kind::Ignore) continue;
            const std::size_t before = k == Action::Kind::Descend ? results_[c.program].received() : 0;
            Action& act = actions_.emplace_back(Action{k, static_cast<std::uint32_t>(i), before});
            switch (k) {
                case Action::Kind::SearchInside:
                    plan.enter = true;
                    // Searches that capture what they find (their step is the
                    // last) can be followed by a flat scan.
                    plan.searches_capture = plan.searches_capture && c.last;
                    break;
                case Action::Kind::Descend:
                    plan.enter = plan.descend = true;
                    plan.index_descent = plan.index_descent || c.stops;
                    break;
                case Action::Kind::Capture:
                    plan.capture = true;
                    plan.all_capture_text = plan.all_capture_text && hint(c) == ResultHint::Texts;
                    break;
                case Action::Kind::FilterCheck:
                    ++plan.filters;
                    act.streams = fits_stream(c);
                    plan.streamable += act.streams;
                    break;
                default: break;
            }
        }
        plan.watch = watch_children(L, tag_name);
        return Outcome::Ok;
    }

    Outcome on_start(Reader& reader, const Event& tag, std::uint64_t p, std::size_t stop_depth) {
        const std::size_t a0 = actions_.size();
        Plan plan;
        Outcome o = plan_actions(levels_.back(), TagName(tag.name(), reader.encoding()), plan);
        if (o != Outcome::Ok) return o;
        const std::size_t a1 = actions_.size();
        if (a0 == a1) {
            skip_element(reader);
            return Outcome::Ok;
        }
        // A streaming filter that is not alone on this element is decided
        // while the element's children are scanned once for everyone.
        if (plan.streamable > 0 && (plan.enter || plan.filters > 1 || plan.capture || plan.watch)) plan.enter = true;
        if (plan.enter && !plan.descend && plan.streamable == 0 && plan.searches_capture) {
            // Only searches for descendants to capture look inside: scan the
            // element flat for them, then serve the others from its bytes.
            // A leaf has no descendants: it is read with one search.
            Bytes leaf;
            const bool is_leaf = reader.skip_leaf(leaf);
            if (!is_leaf) {
                search_.clear();
                for (std::size_t a = a0; a < a1; ++a)
                    if (actions_[a].kind == Action::Kind::SearchInside) search_.push_back(actions_[a].cursor);
                o = scan_descendants(reader, preserve_inside(levels_.back().preserve, tag.content, tag.name_len));
            }
            if (o == Outcome::Ok && (plan.capture || plan.filters > 0 || plan.watch))
                o = serve_read(reader, tag, p, a0, a1, is_leaf ? &leaf : nullptr);
        } else if (plan.enter) {
            return enter_element(reader, tag, p, a0, a1, plan, stop_depth);
        } else if (plan.capture && plan.all_capture_text && plan.filters == 0 && !plan.watch) {
            // Every capture wants the element's text; read it once.
            const std::string text = read_text_in_scope(reader);
            int keeps = -1;  // whether it keeps its white space, once asked (a fold does not ask)
            for (std::size_t a = a0; a < a1; ++a) {
                Cursor& c = cursors_[actions_[a].cursor];
                ItemSink& out = results_[c.program];
                if (!out.folds() && keeps < 0) {
                    const std::uint64_t q = std::min<std::uint64_t>(reader.buffer_position(), source_.size());
                    keeps = text_keeps_space(text, levels_.back().preserve, source_.substr(p, q - p));
                }
                out.push_text(text, keeps > 0);
                if (c.stops) level_found(c);
            }
        } else if (plan.filters == 1 && !plan.capture && !plan.watch && actions_[a0].streams) {
            // One filter decided while streaming through the element.
            Cursor& c = cursors_[actions_[a0].cursor];
            std::size_t nrest = 0;
            const Step* rest = rest_of(c, nrest);
            const bool held = stream_filter_scope(reader, source_, tag, *c.st->selector.filter, rest, nrest, p,
                                                  hint(c), emit_spans_, results_[c.program], levels_.back().preserve);
            if (held && c.stops) level_found(c);
        } else {
            skip_element(reader);
            o = serve_read(reader, tag, p, a0, a1);
        }
        truncate(actions_, a0);
        return o;
    }

    // Enters the element once for every cursor that looks inside; what the
    // element owes the others is served when its level ends (finish_level).
    Outcome enter_element(Reader& reader, const Event& tag, std::uint64_t p, std::size_t a0, std::size_t a1,
                          const Plan& plan, std::size_t stop_depth) {
        const std::size_t child_begin = cursors_.size();
        bool attr_text = false;  // a child cursor answered by this tag
        for (std::size_t a = a0; a < a1; ++a) {
            const Action act = actions_[a];
            const Cursor& c = cursors_[act.cursor];
            if (act.kind == Action::Kind::SearchInside) {
                push_cursor(c.program, c.step, false);
            } else if (act.kind == Action::Kind::Descend) {
                const bool sv = c.single_valued && c.st->selector.kind != SelKind::Each;
                attr_text = push_cursor(c.program, c.step + 1, sv) || attr_text;
            }
        }
        const std::size_t watch_begin = watches_.size();
        for (std::size_t a = a0; a < a1; ++a) {
            Action& act = actions_[a];
            if (act.kind != Action::Kind::FilterCheck || !act.streams) continue;
            act.kind = Action::Kind::Watched;
            const Cursor& c = cursors_[act.cursor];
            std::size_t nrest = 0;
            const Step* rest = rest_of(c, nrest);
            watches_.push_back(Watch{act.cursor, StreamFilter(*c.st->selector.filter, rest, nrest, hint(c))});
            watches_.back().machine.text_scope(levels_.back().preserve, tag);
        }
        // Watched filters are decided by their watches, not served.
        const bool filters_left = plan.filters > watches_.size() - watch_begin;
        // The parent is named by its index: the push below may move it.
        const std::size_t parent_at = levels_.size() - 1;
        {
            Level& parent = levels_[parent_at];
            parent.action_begin = a0;
            parent.action_end = a1;
            parent.serve = plan.capture || filters_left || plan.watch || plan.index_descent;
            parent.tag = tag;
            parent.tag_p = p;
            parent.text_begin = text_programs_.size();
        }
        if (attr_text) collect_attr_text(tag, child_begin, reader, false);
        push_level(child_begin, cursors_.size(), true,
                   preserve_inside(levels_[parent_at].preserve, tag.content, tag.name_len));
        Level& child = levels_.back();
        child.watch_begin = watch_begin;
        child.watch_end = watches_.size();
        if (!has_element_cursor(child)) {
            if (cursors_.size() == child_begin && text_programs_.size() > levels_[parent_at].text_begin &&
                !plan.capture && plan.filters == 0) {
                // Only texts are wanted: read them in the same pass.
                std::string text = read_text_in_scope(reader);
                deliver_text(levels_[parent_at], text, child.preserve);
            } else {
                consume_to_end(reader, true);
            }
            return finish_level(reader, stop_depth);
        }
        if (only_descendant_captures(child)) {
            search_.clear();
            for (std::size_t i = child.cursor_begin; i < child.cursor_end; ++i)
                search_.push_back(static_cast<std::uint32_t>(i));
            Outcome o = scan_descendants(reader, child.preserve);
            if (o != Outcome::Ok) return o;
            return finish_level(reader, stop_depth);
        }
        return Outcome::Ok;
    }

    // A filter whose path ends at the filtered element and wants its text
    // takes the fragment route, which reads that text.
    bool fits_stream(const Cursor& c) const {
        std::size_t nrest = 0;
        const Step* rest = rest_of(c, nrest);
        return fits_streaming_route(*c.st->selector.filter, rest, nrest) && (nrest > 0 || hint(c) != ResultHint::Texts);
    }

    // `preserve`: the scope inside the parent's element, where the text was read.
    void deliver_text(Level& parent, const std::string& text, bool preserve) {
        for (std::size_t i = parent.text_begin; i < text_programs_.size(); ++i)
            results_[text_programs_[i]].push_text(text, preserve);
        truncate(text_programs_, parent.text_begin);
    }

    // Case 4: the element [p, reader position) has been read; serve the
    // captures and filter checks among actions [a0, a1). `leaf` is the raw
    // text of an element the reader found to be a leaf.
    Outcome serve_read(Reader& reader, const Event& tag, std::uint64_t p, std::size_t a0, std::size_t a1,
                       const Bytes* leaf = nullptr) {
        std::uint64_t q = reader.buffer_position();
        if (q > source_.size()) q = source_.size();
        const Bytes fragment = source_.substr(p, q - p);
        const Coding enc = reader.coding();
        const bool around = levels_.back().preserve;  // the level the element is a child of
        // The element's text, read at most once for all who need it; a UTF-8
        // leaf's is its raw text unescaped, as extract_element_text gives it.
        std::string stored;
        std::optional<Bytes> text;
        auto element_text = [&]() -> Bytes {
            if (!text) {
                if (leaf != nullptr && enc.encoding == Encoding::Utf8 && fragment.size() > 1 && fragment[1] != '\0') {
                    Bytes out;
                    unescape_with(*leaf, stored, out, enc.scope);
                    text = out;
                } else {
                    stored = extract_element_text(fragment, enc);
                    text = Bytes(stored);
                }
            }
            return *text;
        };
        for (std::size_t a = a0; a < a1; ++a) {
            const Action act = actions_[a];
            if (act.kind == Action::Kind::Watch) {
                serve_watch(act, p, q, enc, element_text);
                continue;
            }
            Cursor& c = cursors_[act.cursor];
            ItemSink& out = results_[c.program];
            if (act.kind == Action::Kind::Capture) {
                // A sum of elements adds their texts: the text read for the
                // others serves it too.
                if (hint(c) == ResultHint::Elements && out.folds_numbers()) out.fold_text(element_text());
                else collect_element(out, hint(c), source_, p, q, emit_spans_, enc, element_text, around);
                if (c.stops) level_found(c);
            } else if (act.kind == Action::Kind::FilterCheck) {
                bool found = false;
                Outcome o = filter_fragment(c, tag, fragment, enc, found, around);
                if (o != Outcome::Ok) return o;
                if (found && c.stops) level_found(c);
            }
        }
        return Outcome::Ok;
    }

    // Whether every cursor of `L` only captures descendants (`**.name` as the
    // last step): then every level below holds exactly these cursors again,
    // and the subtree is scanned flat instead of one level per element.
    bool only_descendant_captures(const Level& L) const {
        if (L.watch_end > L.watch_begin || L.cursor_end == L.cursor_begin) return false;
        for (std::size_t i = L.cursor_begin; i < L.cursor_end; ++i) {
            const Step* st = cursors_[i].st;
            if (!st || !st->is_element() || !st->descendant || !cursors_[i].last) return false;
        }
        return true;
    }

    // The flat form of the levels below an element whose cursors only capture
    // descendants: what the generic levels would do, with a depth counter in
    // place of the level stack. Reads through the element's end tag.
    // The cursors are those listed in `search_`. A cursor that matches an
    // element captures it and does not look inside it, but the others do:
    // the matching cursor waits (suspended) until the element ends, and the
    // element is skipped whole only when no cursor is left to look inside.
    // `preserve`: the xml:space scope inside the scanned element; the scopes
    // that open or end below it are the depths in `toggles_`.
    Outcome scan_descendants(Reader& reader, bool preserve) {
        waits_.clear();
        toggles_.clear();
        auto scope = [&] { return preserve != ((toggles_.size() & 1) != 0); };
        auto waiting = [&](std::uint32_t i) {
            for (const WaitSlot& w : waits_)
                if (w.cursor == i) return true;
            return false;
        };
        // Captures of the elements that end at `depth` (now closed at the reader position).
        auto close = [&](std::size_t depth) {
            std::size_t out = 0;
            for (std::size_t k = 0; k < waits_.size(); ++k) {
                const WaitSlot w = waits_[k];
                if (w.depth >= depth) capture_read(cursors_[w.cursor], w.start, reader, w.preserve);
                else waits_[out++] = w;
            }
            waits_.resize(out);
        };
        std::size_t depth = 0;  // levels below the scanned element's own
        for (;;) {
            if (all_done()) return Outcome::Done;
            std::uint64_t p;
            Event ev = reader.read_markup_event(p);  // text concerns no level
            switch (ev.kind) {
                case EventKind::Start: {
                    const TagName tag_name(ev.name(), reader.encoding());
                    matched_.clear();
                    bool others = false;  // an active cursor that does not match looks inside
                    for (const std::uint32_t i : search_) {
                        Cursor& c = cursors_[i];
                        if (program_done(c.program) || waiting(i)) continue;
                        if (tag_name.accepted_by(c.st->matcher)) matched_.push_back(i);
                        else others = true;
                    }
                    const bool around = scope();
                    if (!matched_.empty() && !others) {
                        skip_element(reader);
                        for (const std::uint32_t i : matched_) {
                            ++cursors_[i].sel.count;
                            capture_read(cursors_[i], p, reader, around);
                        }
                        break;
                    }
                    for (const std::uint32_t i : matched_) {
                        ++cursors_[i].sel.count;
                        waits_.push_back(WaitSlot{i, around, depth, p});
                    }
                    if (preserve_inside(around, ev.content, ev.name_len) != around) toggles_.push_back(depth);
                    ++depth;
                    break;
                }
                case EventKind::Empty: {
                    const TagName tag_name(ev.name(), reader.encoding());
                    for (const std::uint32_t i : search_) {
                        Cursor& c = cursors_[i];
                        if (program_done(c.program) || waiting(i) || !tag_name.accepted_by(c.st->matcher))
                            continue;
                        ++c.sel.count;
                        results_[c.program].push(Item::owned(serialize_empty(ev.content), reader.coding()));
                    }
                    break;
                }
                case EventKind::End:
                case EventKind::Error:
                    // A reader error ends the innermost level, as an end tag does.
                    if (depth == 0) {
                        close(0);
                        return Outcome::Ok;
                    }
                    --depth;
                    close(depth);
                    if (!toggles_.empty() && toggles_.back() == depth) toggles_.pop_back();
                    break;
                case EventKind::Eof:
                    close(0);
                    return Outcome::Ok;
                default: break;
            }
        }
    }

    // A capture of the element [p, reader position) just read.
    // `preserve`: the scope around it.
    void capture_read(const Cursor& c, std::uint64_t p, Reader& reader, bool preserve) {
        std::uint64_t q = reader.buffer_position();
        if (q > source_.size()) q = source_.size();
        const Coding enc = reader.coding();
        collect_element(results_[c.program], hint(c), source_, p, q, emit_spans_, enc,
                        [&] { return extract_element_text(source_.substr(p, q - p), enc); }, preserve);
    }

    // Actions for the watches of level `L` at a start tag of one of its
    // children; true when there is one.
    bool watch_children(const Level& L, const TagName& tag_name) {
        bool any = false;
        for (std::size_t w = L.watch_begin; w < L.watch_end; ++w) {
            const StreamFilter::Child child = watches_[w].machine.child(tag_name);
            if (!child.candidate && !child.result) continue;
            Action act{Action::Kind::Watch, static_cast<std::uint32_t>(w), 0};
            act.candidate = child.candidate;  // its text comes once the child is read
            act.result = child.result;
            actions_.push_back(act);
            any = true;
        }
        return any;
    }

    // Serves a watch's needs for the child [p, q) that has just been read.
    template <class Text>
    void serve_watch(const Action& act, std::uint64_t p, std::uint64_t q, const Coding& enc, Text&& element_text) {
        StreamFilter& machine = watches_[act.cursor].machine;
        if (act.candidate) machine.take_left(element_text());
        if (act.result) machine.keep(source_, p, q, emit_spans_, enc, element_text);
    }

    // The watched element has ended at `q`: decide its filters.
    void decide_watches(const Level& child, const Level& parent, std::uint64_t q, const Coding& enc) {
        for (std::size_t w = child.watch_begin; w < child.watch_end; ++w) {
            Cursor& c = cursors_[watches_[w].cursor];
            StreamFilter& machine = watches_[w].machine;
            if (machine.decide(results_[c.program], source_, parent.tag, parent.tag_p, q, emit_spans_, enc,
                               parent.preserve) &&
                c.stops)
                level_found(c);
        }
        truncate(watches_, child.watch_begin);
    }

    // A filter on an element cut out of the document. Every route gives the
    // answer the single-path engine gives for the same path, `found` included:
    // whether the filter held, or on the attribute route whether the rest of
    // the path yielded something.
    // `around`: the xml:space scope around the element.
    Outcome filter_fragment(const Cursor& c, const Event& tag, Bytes fragment, const Coding& enc, bool& found,
                            bool around) {
        const Filter& flt = *c.st->selector.filter;
        std::size_t nrest = 0;
        const Step* rest = rest_of(c, nrest);
        ItemSink& out = results_[c.program];
        found = false;
        if (flt.attribute) {
            if (!attribute_filter_holds(tag, flt, enc)) return Outcome::Ok;
            const std::size_t before = out.received();
            Outcome o = apply_within_fragment(fragment, rest, nrest, out, enc, ctx_, around);
            found = out.received() > before;
            return o;
        }
        if (fits_streaming_route(flt, rest, nrest)) {
            Reader r(fragment, enc);
            for (;;) {
                const std::uint64_t rp = r.buffer_position();
                Event root = r.read_event();
                if (root.kind == EventKind::Start) {
                    found = stream_filter_scope(r, fragment, root, flt, rest, nrest, rp, hint(c), false, out, around);
                    return Outcome::Ok;
                }
                if (root.kind == EventKind::Eof) return Outcome::Ok;
            }
        }
        Outcome o = eval_filter(fragment, flt, enc, ctx_, found);
        if (o != Outcome::Ok || !found) return o;
        return apply_within_fragment(fragment, rest, nrest, out, enc, ctx_, around);
    }

    Outcome on_empty(Reader& reader, const Event& tag, std::uint64_t p) {
        Level& L = levels_.back();
        const Coding enc = reader.coding();
        const TagName tag_name(tag.name(), enc);
        for (std::size_t w = L.watch_begin; w < L.watch_end; ++w) {
            StreamFilter& machine = watches_[w].machine;
            if (machine.child(tag_name).result)
                machine.keep(source_, p, reader.buffer_position(), emit_spans_, enc, [] { return Bytes(); });
        }
        for (std::size_t i = L.cursor_begin; i < L.cursor_end; ++i) {
            Cursor& c = cursors_[i];
            const Step* st = c.st;
            if (c.finished || program_done(c.program) || !st || !st->is_element()) continue;
            if (!tag_name.accepted_by(st->matcher)) continue;
            std::size_t nrest = 0;
            const Step* rest = rest_of(c, nrest);
            ItemSink& out = results_[c.program];
            bool done = false;
            // Empty elements take no part in the ambiguity rule here.
            switch (select_match(*st, c.sel, false)) {
                case Selected::Yes: {
                    const std::size_t before = out.received();
                    handle_empty_inner(tag, rest, nrest, out, enc);
                    // As for a descent: the level has its result only when the
                    // rest of the path yielded something here (an element step
                    // or a missing attribute yields nothing, and the level,
                    // with the ambiguity tests of the levels above, goes on).
                    done = out.received() > before;
                    break;
                }
                case Selected::No:
                case Selected::Ambiguous:
                    break;
                case Selected::IfFilter: {
                    Outcome o = filter_empty_element(tag, *st->selector.filter, rest, nrest, out, enc, ctx_, done);
                    if (o != Outcome::Ok) return o;
                    break;
                }
            }
            // An Index cursor is done only when this element was its N-th
            // match and gave an item.
            if (done && c.stops) level_found(c);
        }
        return Outcome::Ok;
    }

    // The top level has ended (its end tag, end of input or a reader error):
    // drop it and serve what its parent's start tag still owes.
    Outcome finish_level(Reader& reader, std::size_t stop_depth) {
        const Level child = levels_.back();
        levels_.pop_back();
        if (child.watch_end > child.watch_begin && !levels_.empty()) {
            std::uint64_t q = reader.buffer_position();
            if (q > source_.size()) q = source_.size();
            decide_watches(child, levels_.back(), q, reader.coding());
        }
        truncate(cursors_, child.cursor_begin);
        if (levels_.size() <= stop_depth) {
            if (!levels_.empty()) finish_element_texts(reader, child.preserve);
            return Outcome::Ok;
        }
        Level& parent = levels_.back();
        finish_element_texts(reader, child.preserve);
        if (!parent.serve) {
            // Only descents and searches were pending: nothing to serve.
            truncate(actions_, parent.action_begin);
            parent.action_begin = parent.action_end = 0;
            return Outcome::Ok;
        }
        // A descent for an Index step found its result when it yielded items.
        for (std::size_t a = parent.action_begin; a < parent.action_end; ++a) {
            const Action& act = actions_[a];
            Cursor& c = cursors_[act.cursor];
            if (act.kind == Action::Kind::Descend && c.stops && results_[c.program].received() > act.items_before)
                level_found(c);
        }
        Outcome o = serve_read(reader, parent.tag, parent.tag_p, parent.action_begin, parent.action_end);
        truncate(actions_, parent.action_begin);
        parent.action_begin = parent.action_end = 0;
        return o;
    }

    // Texts owed for the parent's start tag, once its element has been read;
    // `preserve`: the scope inside that element.
    void finish_element_texts(Reader& reader, bool preserve) {
        Level& parent = levels_.back();
        if (text_programs_.size() <= parent.text_begin) return;
        std::uint64_t q = reader.buffer_position();
        if (q > source_.size()) q = source_.size();
        const std::string text =
            extract_element_text(source_.substr(parent.tag_p, q - parent.tag_p), reader.coding());
        deliver_text(parent, text, preserve);
    }

    const std::vector<const Program*>& programs_;
    Bytes source_;
    bool emit_spans_;
    std::vector<ItemSink>& results_;
    EngineError& err_;
    EvalContext ctx_;  // the outer context of the fragments the pass evaluates
    // Per program, read for every cursor at every tag: kComplete (its answer
    // cannot change any more) and kFirstOnly (it stops at its first item).
    static constexpr std::uint8_t kComplete = 1, kFirstOnly = 2;
    std::vector<std::uint8_t> state_;
    std::uint32_t first_live_ = 0;
    std::vector<Cursor> cursors_;
    std::vector<Action> actions_;
    std::vector<Level> levels_;
    std::vector<Watch> watches_;
    std::vector<std::uint32_t> search_;  // cursors of the flat descendant scan
    std::vector<std::uint32_t> matched_;
    struct WaitSlot {  // a capture waiting for its element's end
        std::uint32_t cursor;
        bool preserve;      // the xml:space scope around the element
        std::size_t depth;  // the depth the element was met at
        std::uint64_t start;
    };
    std::vector<WaitSlot> waits_;
    std::vector<std::size_t> toggles_;  // scan_descendants: depths whose element changes the xml:space scope
    std::vector<std::uint32_t> text_programs_;
    bool preserve_;  // the scope around the top of the input
};

Expected<std::vector<Items>, EngineError> finish(const std::vector<const Program*>& programs,
                                                 std::vector<ItemSink>&& sinks, Outcome o, EngineError&& err,
                                                 Bytes source) {
    if (o == Outcome::Ambiguous || o == Outcome::TooDeep) return unexpected(std::move(err));
    std::vector<Items> results;
    results.reserve(programs.size());
    for (std::size_t i = 0; i < programs.size(); ++i)
        results.push_back(finish_modifiers(*programs[i], std::move(sinks[i]), source));
    return results;
}

}  // namespace
}  // namespace detail

Expected<std::vector<Items>, EngineError> run_many(const std::vector<const Program*>& programs, Bytes source,
                                                   bool emit_spans, bool unicode) {
    if (QUELMAR_BATCH_ENGINE && source.size() >= detail::kBatchMinBytes)
        return detail::run_batch(programs, source, emit_spans, unicode);
    return detail::run_many_pass(programs, source, emit_spans, unicode);
}

Expected<std::vector<Items>, EngineError> run_many_in_element(const std::vector<const Program*>& programs,
                                                              Bytes element, const Coding& coding, bool preserve) {
    if (QUELMAR_BATCH_ENGINE && element.size() >= detail::kBatchMinBytes)
        return detail::run_batch_in_element(programs, element, coding, preserve);
    return detail::run_many_pass_in_element(programs, element, coding, preserve);
}

namespace detail {

Expected<std::vector<Items>, EngineError> run_many_pass(const std::vector<const Program*>& programs, Bytes source,
                                                        bool emit_spans, bool unicode) {
    const DocumentText doc(source, unicode);
    source = doc.bytes();
    emit_spans = emit_spans && !doc.transcoded();
    std::vector<ItemSink> results;
    results.reserve(programs.size());
    for (const Program* program : programs) results.push_back(begin_modifiers(*program, source));
    EngineError err;
    detail::Outcome o = detail::Outcome::Ok;
    {
        Reader reader(source);
        doc.prepare(reader);
        detail::ManyPass pass(programs, source, emit_spans, results, err);
        o = pass.run_document(reader);
    }
    return detail::finish(programs, std::move(results), o, std::move(err), source);
}

Expected<std::vector<Items>, EngineError> run_many_pass_in_element(const std::vector<const Program*>& programs,
                                                                   Bytes element, const Coding& coding,
                                                                   bool preserve) {
    std::vector<ItemSink> results;
    results.reserve(programs.size());
    for (const Program* program : programs) results.push_back(begin_modifiers(*program, element));
    EngineError err;
    detail::Outcome o = detail::Outcome::Ok;
    {
        Reader reader(element, coding);
        detail::ManyPass pass(programs, element, false, results, err, preserve);
        o = pass.run_element(reader);
    }
    return detail::finish(programs, std::move(results), o, std::move(err), element);
}

}  // namespace detail

}  // namespace quelmar

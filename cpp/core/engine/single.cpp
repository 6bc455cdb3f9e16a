// The single-path matcher. The recursion of the path over the document's
// nesting runs on an explicit stack of frames, one per entered element
// level, so document depth costs heap, never C++ stack.
#include <string>
#include <vector>

#include "engine/internal.hpp"

namespace quelmar {
namespace detail {
namespace {

using SelKind = Selector::Kind;

// One entered level: the element step matched against its children.
struct Frame {
    enum class Resume : std::uint8_t {
        Top,           // the level `enter` was called for
        AfterDescend,  // entered to apply the rest of the path to a match
        AfterSearch,   // a descendant step looking inside a non-matching element
    };
    const Step* steps;  // steps[0] is this level's element step
    std::size_t nsteps;
    std::size_t items_before;  // AfterDescend: items before the descent
    // The flags below fill the state's tail padding: five words a frame.
    [[no_unique_address]] SelectorState sel;
    bool has_context;          // false only at the top of a document or fragment
    bool single_valued;        // every step above selects at most one element
    Resume resume;
    bool preserve;             // inside an xml:space="preserve" scope
};
static_assert(sizeof(Frame) == 40);

class Matcher {
public:
    Matcher(Reader& reader, const EvalContext& ctx, ItemSink& items) : r_(reader), ctx_(ctx), items_(items) {}

    Outcome run(bool has_context, const Step* steps, std::size_t nsteps, bool single_valued, bool preserve) {
        push(steps, nsteps, has_context, single_valued, Frame::Resume::Top, 0, preserve);
        while (!stack_.empty()) {
            if (ctx_.first_item_only && !items_.empty()) return Outcome::Done;
            std::uint64_t p;
            Event ev = r_.read_markup_event(p);  // text concerns no frame
            Outcome o = Outcome::Ok;
            switch (ev.kind) {
                case EventKind::Start: o = on_start(ev, p); break;
                case EventKind::Empty: o = on_empty(ev); break;
                case EventKind::End:
                case EventKind::Eof:
                case EventKind::Error: {
                    // Malformed XML ends this level quietly; the enclosing
                    // levels read on from wherever the reader stands. A count
                    // reports what it counted, however its level ended.
                    const Frame& f = stack_.back();
                    if (f.steps[0].selector.kind == SelKind::Count)
                        items_.push(Item::text(std::to_string(f.sel.count)));
                    o = finish_frame();
                    break;
                }
                default: break;
            }
            if (o != Outcome::Ok) return o;
        }
        return Outcome::Ok;
    }

private:
    void push(const Step* steps, std::size_t n, bool has_context, bool sv, Frame::Resume resume, std::size_t before,
              bool preserve) {
        stack_.push_back(Frame{steps, n, before, SelectorState(), has_context, sv, resume, preserve});
    }

    Coding enc() const noexcept { return r_.coding(); }

    Outcome ambiguous(const Step& st) {
        if (ctx_.error) {
            ctx_.error->kind = EngineError::Kind::Ambiguous;
            ctx_.error->name = st.matcher.text();
        }
        return Outcome::Ambiguous;
    }

    // Pops the finished top frame and resumes its parent. A parent whose
    // selector needs only one result may end its own level in turn.
    Outcome finish_frame() {
        for (;;) {
            const Frame child = stack_.back();
            stack_.pop_back();
            if (stack_.empty() || child.resume != Frame::Resume::AfterDescend) return Outcome::Ok;
            bool level_ends = false;
            Outcome o = early_stop(stack_.back(), items_.received() > child.items_before, level_ends);
            if (o != Outcome::Ok || !level_ends) return o;
        }
    }

    // After a match was served at level `f`: a level whose selector wants one
    // result (Index, Filter) stops once it has found it.
    Outcome early_stop(Frame& f, bool found, bool& level_ends) {
        level_ends = false;
        const SelKind k = f.steps[0].selector.kind;
        if ((k == SelKind::Index || k == SelKind::Filter) && found) {
            if (f.single_valued) return Outcome::Done;
            consume_to_end(r_, f.has_context);
            level_ends = true;
        }
        return Outcome::Ok;
    }

    Outcome after_match(bool found) {
        bool level_ends = false;
        Outcome o = early_stop(stack_.back(), found, level_ends);
        if (o != Outcome::Ok || !level_ends) return o;
        return finish_frame();
    }

    // descend_or_capture: the start tag `ev` at offset `p` matched; apply the
    // rest of the path to it (or capture it when nothing follows).
    // The level's element scope (`around`) is that of the matched element.
    Outcome descend(const Event& ev, std::uint64_t p, const Step* rest, std::size_t nrest, bool child_sv) {
        const bool around = stack_.back().preserve;
        if (nrest == 0) {
            skip_element(r_);
            items_.push(capture_item(ctx_.source, p, r_.buffer_position(), ctx_.emit_spans, enc()).in_scope(around));
            return after_match(true);
        }
        const std::size_t before = items_.received();
        const Step& next = rest[0];
        if (next.kind == Step::Kind::Text) {
            const bool inside = preserve_inside(around, ev.content, ev.name_len);
            items_.push(Item::text(read_text_in_scope(r_)).in_scope(inside));
            return after_match(true);
        }
        if (next.kind == Step::Kind::Attribute) {
            if (auto v = read_attr(ev.content, ev.name_len, next.attribute, enc())) items_.push(Item::text(std::move(*v)));
            consume_to_end(r_, true);
            return after_match(items_.received() > before);
        }
        push(rest, nrest, true, child_sv, Frame::Resume::AfterDescend, before,
             preserve_inside(around, ev.content, ev.name_len));
        return Outcome::Ok;
    }

    [[gnu::always_inline]] Outcome on_start(const Event& ev, std::uint64_t p) {
        Frame& f = stack_.back();
        const Step& st = f.steps[0];
        const Bytes name = ev.name();
        if (!TagName(name, r_.encoding()).accepted_by(st.matcher)) {
            if (st.descendant)
                push(f.steps, f.nsteps, true, false, Frame::Resume::AfterSearch, 0,
                     preserve_inside(f.preserve, ev.content, ev.name_len));
            else skip_element(r_);
            return Outcome::Ok;
        }
        const Step* rest = f.steps + 1;
        const std::size_t nrest = f.nsteps - 1;
        // A selector-less step that matches twice while the path goes on is
        // ambiguous, even if the first match gave nothing. Each and FilterAll
        // select many: what follows them is not single-valued.
        switch (select_match(st, f.sel, nrest > 0)) {
            case Selected::Yes:
                return descend(ev, p, rest, nrest, f.single_valued && st.selector.kind != SelKind::Each);
            case Selected::IfFilter:
                return filter_match(ev, p, st, rest, nrest, f.single_valued && st.selector.kind != SelKind::FilterAll);
            case Selected::Ambiguous: return ambiguous(st);
            case Selected::No: break;
        }
        skip_element(r_);
        return Outcome::Ok;
    }

    Outcome filter_match(const Event& ev, std::uint64_t p, const Step& st, const Step* rest, std::size_t nrest,
                         bool child_sv) {
        const Filter& flt = *st.selector.filter;
        if (flt.attribute) {
            // Attribute route: the start tag alone decides.
            if (attribute_filter_holds(ev, flt, enc())) return descend(ev, p, rest, nrest, child_sv);
            skip_element(r_);
            return Outcome::Ok;
        }
        if (fits_streaming_route(flt, rest, nrest)) {
            bool held = stream_filter_scope(r_, ctx_.source, ev, flt, rest, nrest, p, CollectMode::Elements,
                                            ctx_.emit_spans, items_, stack_.back().preserve);
            return after_match(held);
        }
        // Fragment route: cut the element out, decide, then apply the rest.
        skip_element(r_);
        const std::uint64_t q = r_.buffer_position();
        const Bytes fragment = ctx_.source.substr(p, q - p);
        bool holds = false;
        Outcome o = eval_filter(fragment, flt, enc(), ctx_, holds);
        if (o != Outcome::Ok || !holds) return o;
        o = apply_within_fragment(fragment, rest, nrest, items_, enc(), ctx_, stack_.back().preserve);
        if (o != Outcome::Ok) return o;
        return after_match(true);
    }

    Outcome on_empty(const Event& ev) {
        Frame& f = stack_.back();
        const Step& st = f.steps[0];
        const Bytes name = ev.name();
        if (!TagName(name, r_.encoding()).accepted_by(st.matcher)) return Outcome::Ok;
        const Step* rest = f.steps + 1;
        const std::size_t nrest = f.nsteps - 1;
        const std::size_t before = items_.received();
        bool found = false;
        switch (select_match(st, f.sel, nrest > 0 && ctx_.empty_tags_ambiguous)) {
            case Selected::Ambiguous: return ambiguous(st);
            case Selected::No: break;
            case Selected::Yes:
                handle_empty_inner(ev, rest, nrest, items_, enc());
                found = items_.received() > before;
                break;
            case Selected::IfFilter: {
                Outcome o = filter_empty_element(ev, *st.selector.filter, rest, nrest, items_, enc(), ctx_, found);
                if (o != Outcome::Ok) return o;
                break;
            }
        }
        return after_match(found);
    }

    Reader& r_;
    const EvalContext& ctx_;
    ItemSink& items_;
    std::vector<Frame> stack_;
};

}  // namespace

Outcome enter(Reader& reader, const EvalContext& ctx, const Event* context, const Step* steps, std::size_t nsteps,
              ItemSink& items, bool single_valued) {
    const Step& first = steps[0];
    if (first.kind == Step::Kind::Text) {
        // Without a context (a path that is only #text) there is no element.
        if (context == nullptr) items.push(Item::text(std::string()));
        else
            items.push(Item::text(read_text_in_scope(reader))
                           .in_scope(preserve_inside(ctx.preserve_scope, context->content, context->name_len)));
        return Outcome::Ok;
    }
    if (first.kind == Step::Kind::Attribute) {
        if (context) {
            if (auto v = read_attr(context->content, context->name_len, first.attribute, reader.coding()))
                items.push(Item::text(std::move(*v)));
        }
        consume_to_end(reader, context != nullptr);
        return Outcome::Ok;
    }
    Matcher m(reader, ctx, items);
    const bool preserve = context != nullptr ? preserve_inside(ctx.preserve_scope, context->content, context->name_len)
                                             : ctx.preserve_scope;
    return m.run(context != nullptr, steps, nsteps, single_valued, preserve);
}

void handle_empty_inner(const Event& tag, const Step* rest, std::size_t nrest, ItemSink& items, const Coding& enc) {
    if (nrest == 0) {
        items.push(Item::owned(serialize_empty(tag.content), enc));
        return;
    }
    const Step& next = rest[0];
    switch (next.kind) {
        case Step::Kind::Text:
            items.push(Item::text(std::string()));
            break;
        case Step::Kind::Attribute:
            if (auto v = read_attr(tag.content, tag.name_len, next.attribute, enc)) items.push(Item::text(std::move(*v)));
            break;
        case Step::Kind::Element:
            // An empty element has no children; a count of them is still a
            // count, so it answers 0 rather than vanishing.
            if (next.selector.kind == SelKind::Count) items.push(Item::text("0"));
            break;
    }
}

namespace {

// Runs `rest` (non-empty) with the fragment's first element as context;
// `ctx` describes the fragment's own evaluation.
Outcome evaluate_fragment(Bytes fragment, const Step* rest, std::size_t nrest, ItemSink& items, const Coding& enc,
                          const EvalContext& ctx) {
    Reader reader(fragment, enc);
    for (;;) {
        Event ev = reader.read_event();
        switch (ev.kind) {
            case EventKind::Start: {
                Outcome o = enter(reader, ctx, &ev, rest, nrest, items, true);
                return o == Outcome::Done ? Outcome::Ok : o;
            }
            case EventKind::Empty:
                handle_empty_inner(ev, rest, nrest, items, enc);
                return Outcome::Ok;
            case EventKind::Eof:
                return Outcome::Ok;
            default:
                break;
        }
    }
}

}  // namespace

Outcome apply_within_fragment(Bytes fragment, const Step* rest, std::size_t nrest, ItemSink& items, const Coding& enc,
                              const EvalContext& outer, bool preserve) {
    if (nrest == 0) {
        items.push(Item::owned(std::string(fragment), enc).in_scope(preserve));
        return Outcome::Ok;
    }
    if (outer.fragment_depth >= kMaxFragmentNesting) {
        if (outer.error) outer.error->kind = EngineError::Kind::TooDeep;
        return Outcome::TooDeep;
    }
    // Inside a fragment nothing stops at the first item: a filter's left
    // side needs its first item without stopping short of an ambiguity, and
    // the rest of a path adds to items that its caller already watches.
    EvalContext ctx;
    ctx.source = fragment;
    ctx.fragment_depth = outer.fragment_depth + 1;
    ctx.preserve_scope = preserve;
    ctx.error = outer.error;
    return evaluate_fragment(fragment, rest, nrest, items, enc, ctx);
}

}  // namespace detail

namespace {

Expected<Items, EngineError> run_whole(const Program& program, Bytes source, bool emit_spans, bool unicode,
                                       bool empty_tags_ambiguous) {
    const DocumentText doc(source, unicode);
    source = doc.bytes();
    emit_spans = emit_spans && !doc.transcoded();
    ItemSink items = begin_modifiers(program, source);
    if (!program.steps.empty()) {
        Reader reader(source);
        doc.prepare(reader);
        EngineError err;
        detail::EvalContext ctx;
        ctx.source = source;
        ctx.emit_spans = emit_spans;
        ctx.first_item_only = !program.modifiers.empty() && program.modifiers[0] == Modifier::First;
        ctx.empty_tags_ambiguous = empty_tags_ambiguous;
        ctx.error = &err;
        auto o = detail::enter(reader, ctx, nullptr, program.steps.data(), program.steps.size(), items, true);
        if (o == detail::Outcome::Ambiguous || o == detail::Outcome::TooDeep) return unexpected(std::move(err));
    }
    return finish_modifiers(program, std::move(items), source);
}

Expected<Items, EngineError> run_element(const Program& program, Bytes element, const Coding& encoding,
                                         bool empty_tags_ambiguous, bool preserve) {
    ItemSink items = begin_modifiers(program, element);
    if (!program.steps.empty()) {
        // A relative query stops at its first item like a query over a whole
        // document (and like the same path in a relative get_many).
        EngineError err;
        detail::EvalContext ctx;
        ctx.source = element;
        ctx.first_item_only = !program.modifiers.empty() && program.modifiers[0] == Modifier::First;
        ctx.fragment_depth = 1;
        ctx.empty_tags_ambiguous = empty_tags_ambiguous;
        ctx.preserve_scope = preserve;
        ctx.error = &err;
        auto o = detail::evaluate_fragment(element, program.steps.data(), program.steps.size(), items, encoding, ctx);
        if (o == detail::Outcome::Ambiguous || o == detail::Outcome::TooDeep) return unexpected(std::move(err));
    }
    return finish_modifiers(program, std::move(items), element);
}

}  // namespace

void DocumentText::open(Bytes source, bool unicode) {
    unicode_ = unicode;
    transcoded_ = !unicode && transcode_document(source, decoded_);
    bytes_ = transcoded_ ? Bytes(decoded_) : source;
}

Expected<Items, EngineError> run_with(const Program& program, Bytes source, bool emit_spans, bool unicode) {
    return run_whole(program, source, emit_spans, unicode, true);
}

Expected<Items, EngineError> run_in_element(const Program& program, Bytes element, const Coding& encoding,
                                            bool preserve) {
    return run_element(program, element, encoding, true, preserve);
}

Expected<Items, EngineError> run_with_many_rules(const Program& program, Bytes source, bool emit_spans) {
    return run_whole(program, source, emit_spans, false, false);
}

Expected<Items, EngineError> run_in_element_many_rules(const Program& program, Bytes element, const Coding& encoding) {
    return run_element(program, element, encoding, false, false);
}

}  // namespace quelmar

// Filters while streaming: the comparison, the streaming route that decides
// a filter and collects the next step's results in one pass over the
// filtered element, and the fragment routes that read the element again.
#include <string>

#include "common/text.hpp"
#include "common/utf8.hpp"
#include "engine/internal.hpp"

namespace quelmar::detail {

namespace {

std::optional<double> number_of(Bytes text) { return parse_decimal_float(trim_unicode_ws(text)); }

bool ordered(double a, CompareOp op, double b) {
    switch (op) {
        case CompareOp::Lt: return a < b;
        case CompareOp::Le: return a <= b;
        case CompareOp::Gt: return a > b;
        case CompareOp::Ge: return a >= b;
        default: return false;
    }
}

bool is_plain_element(const Step& s) {
    return s.is_element() && s.selector.kind == Selector::Kind::None && !s.descendant;
}

}  // namespace

bool compare_text(Bytes left, CompareOp op, const FilterValue& value) {
    if (utf8_valid(left)) [[likely]]
        return compare(left, op, value);
    return compare(utf8_lossy(left), op, value);
}

bool compare(Bytes left, CompareOp op, const FilterValue& value) {
    switch (value.kind) {
        case FilterValue::Kind::Number: {
            auto n = number_of(left);
            switch (op) {
                case CompareOp::Eq: return n && *n == value.number;
                case CompareOp::Ne: return !(n && *n == value.number);
                case CompareOp::Lt:
                case CompareOp::Le:
                case CompareOp::Gt:
                case CompareOp::Ge: return n && ordered(*n, op, value.number);
                default: return false;
            }
        }
        case FilterValue::Kind::String: {
            const Bytes s = value.string;
            switch (op) {
                case CompareOp::Eq: return left == s;
                case CompareOp::Ne: return left != s;
                case CompareOp::Match:
                case CompareOp::NotMatch: {
                    const bool m = value.pattern.matches_whole(left);
                    return op == CompareOp::Match ? m : !m;
                }
                default: {
                    auto a = number_of(left);
                    auto b = number_of(s);
                    return a && b && ordered(*a, op, *b);
                }
            }
        }
        case FilterValue::Kind::Bool: {
            const bool eq = left == (value.boolean ? Bytes("true") : Bytes("false"));
            if (op == CompareOp::Eq) return eq;
            if (op == CompareOp::Ne) return !eq;
            return false;
        }
    }
    return false;
}

bool attribute_filter_holds(const Event& tag, const Filter& filter, const Coding& enc) {
    auto v = read_attr(tag.content, tag.name_len, *filter.attribute, enc);
    return v && compare_text(*v, filter.op, filter.value);
}

bool fits_streaming_route(const Filter& filter, const Step* rest, std::size_t nrest) {
    if (filter.attribute || filter.path.size() != 1 || !is_plain_element(filter.path[0])) return false;
    if (nrest == 0) return true;
    if (nrest != 1) return false;
    const Step& next = rest[0];
    if (next.kind == Step::Kind::Attribute) return true;
    if (!next.is_element() || next.descendant) return false;
    const auto k = next.selector.kind;
    return k == Selector::Kind::None || k == Selector::Kind::Index || k == Selector::Kind::Each;
}

bool eval_child_filter_fast(Bytes fragment, const Step& step, CompareOp op, const FilterValue& value,
                            const Coding& enc) {
    Reader reader(fragment, enc);
    bool root_seen = false;
    for (;;) {
        Event ev = reader.read_event();
        switch (ev.kind) {
            case EventKind::Start: {
                if (!root_seen) {
                    root_seen = true;
                    break;
                }
                const Bytes name = ev.name();
                if (TagName(name, enc).accepted_by(step.matcher)) {
                    const std::string text = read_text_in_scope(reader);
                    return compare_text(text, op, value);
                }
                skip_element(reader);
                break;
            }
            case EventKind::Empty: {
                if (!root_seen) return false;
                const Bytes name = ev.name();
                if (TagName(name, enc).accepted_by(step.matcher)) return compare(Bytes(), op, value);
                break;
            }
            case EventKind::End:
                if (root_seen) return false;
                break;
            case EventKind::Eof:
                return false;
            default:
                break;
        }
    }
}

Outcome eval_filter(Bytes fragment, const Filter& filter, const Coding& enc, const EvalContext& outer, bool& holds) {
    holds = false;
    if (filter.path.size() == 1 && is_plain_element(filter.path[0])) {
        holds = eval_child_filter_fast(fragment, filter.path[0], filter.op, filter.value, enc);
        return Outcome::Ok;
    }
    // A left side made only of dots has no steps: it names the element itself.
    ItemSink tmp;
    Outcome o = apply_within_fragment(fragment, filter.path.data(), filter.path.size(), tmp, enc, outer);
    if (o == Outcome::Done) o = Outcome::Ok;
    if (o != Outcome::Ok || tmp.empty()) return o;
    // An element item of the filter's path is read with the document's
    // entities (spans carry none).
    const Item& first = tmp.items()[0];
    const std::string text = first.kind == Item::Kind::Text ? std::string(first.bytes)
                             : first.kind == Item::Kind::OwnedElement
                                 ? extract_element_text(first.bytes, Coding(first.encoding, enc.scope))
                                 : item_text(first, fragment);
    holds = compare_text(text, filter.op, filter.value);
    return Outcome::Ok;
}

Outcome filter_empty_element(const Event& tag, const Filter& filter, const Step* rest, std::size_t nrest,
                             ItemSink& out, const Coding& enc, const EvalContext& outer, bool& held) {
    const std::string fragment = serialize_empty(tag.content);
    held = false;
    if (filter.attribute) {
        held = attribute_filter_holds(tag, filter, enc);
    } else if (Outcome o = eval_filter(fragment, filter, enc, outer, held); o != Outcome::Ok) {
        return o;
    }
    return held ? apply_within_fragment(fragment, rest, nrest, out, enc, outer) : Outcome::Ok;
}

void StreamFilter::set_text_scope(bool around, const Event& tag) noexcept {
    text_scope_ = preserve_inside(around, tag.content, tag.name_len);
}

bool StreamFilter::decide(ItemSink& out, Bytes source, const Event& tag, std::uint64_t p, std::uint64_t q,
                          bool emit_spans, const Coding& enc, bool preserve) {
    if (!has_left_ || !compare_text(left_, filter_->op, filter_->value)) return false;
    if (next_ == nullptr) {
        // The filtered element itself: texts are read from it later.
        if (mode_ == CollectMode::Placeholders) out.push_text(Bytes());
        else out.push(capture_item(source, p, q, emit_spans, enc).in_scope(preserve));
    } else if (next_->is_element()) {
        // Captured children lie in the scope inside the filtered element.
        if (mode_ == CollectMode::Elements && !pending_.empty() &&
            preserve_inside(preserve, tag.content, tag.name_len)) {
            Items kept = std::move(pending_).take();
            for (Item& it : kept) it.preserve = 1;
            out.push_all(std::move(kept));
        } else {
            out.push_all(std::move(pending_));
        }
    } else if (auto v = read_attr(tag.content, tag.name_len, next_->attribute, enc)) {
        out.push(Item::text(std::move(*v)));
    }
    return true;
}

bool stream_filter_scope(Reader& reader, Bytes source, const Event& tag, const Filter& filter, const Step* rest,
                         std::size_t nrest, std::uint64_t p, CollectMode mode, bool emit_spans, ItemSink& items,
                         bool preserve) {
    const Coding enc = reader.coding();
    StreamFilter machine(filter, rest, nrest, mode);
    machine.text_scope(preserve, tag);
    const auto no_text = [] { return Bytes(); };
    for (bool open = true; open;) {
        std::uint64_t pc;
        Event ev = reader.read_markup_event(pc);  // children's text is read where it is wanted
        switch (ev.kind) {
            case EventKind::Start: {
                const Bytes name = ev.name();
                const StreamFilter::Child c = machine.child(TagName(name, enc));
                // A child's text is read (consuming it) only when it is wanted.
                if (c.candidate) {
                    const Bytes left = machine.read_left(reader);
                    if (c.result)
                        machine.keep(source, pc, reader.buffer_position(), emit_spans, enc, [&] { return left; });
                } else if (c.result && mode == CollectMode::Texts) {
                    const std::string text = read_text_in_scope(reader);
                    machine.keep(source, pc, reader.buffer_position(), emit_spans, enc, [&] { return Bytes(text); });
                } else {
                    skip_element(reader);
                    if (c.result) machine.keep(source, pc, reader.buffer_position(), emit_spans, enc, no_text);
                }
                break;
            }
            case EventKind::Empty: {
                const StreamFilter::Child c = machine.child(TagName(ev.name(), enc));
                if (c.result) machine.keep(source, pc, reader.buffer_position(), emit_spans, enc, no_text);
                break;
            }
            case EventKind::End:
            case EventKind::Eof:
            case EventKind::Error:
                open = false;
                break;
            default:
                break;
        }
    }
    return machine.decide(items, source, tag, p, reader.buffer_position(), emit_spans, enc, preserve);
}

}  // namespace quelmar::detail

// The batch automaton's tables (batch.hpp): positions, symbols, states, rows.
#include "engine/batch.hpp"

#include <algorithm>
#include <cstring>

namespace quelmar::detail {

using SelKind = Selector::Kind;

namespace {

// The bytes of a few 32-bit values, as a key for the keyed tables.
void append_u32(std::string& key, std::uint32_t v) {
    char b[4];
    std::memcpy(b, &v, 4);
    key.append(b, 4);
}

// Whether a program's answer can be complete before the end of the input.
bool can_stop(const Program& prog) {
    if (!prog.modifiers.empty() && prog.modifiers[0] == Modifier::First) return true;
    for (const Step& st : prog.steps)
        if (st.is_element() && (st.selector.kind == SelKind::Index || st.selector.kind == SelKind::Filter)) return true;
    return false;
}

}  // namespace

BatchAutomaton::BatchAutomaton(const std::vector<const Program*>& programs) : programs_(programs) {
    // Every name the steps test, before any symbol is made.
    for (const Program* prog : programs) {
        pos_base_.push_back(pos_at_.size());
        pos_at_.resize(pos_at_.size() + 2 * prog->steps.size(), npos);
        may_stop_.push_back(can_stop(*prog));
        for (const Step& st : prog->steps) {
            if (!st.is_element()) continue;
            if (st.matcher.kind() == NameMatcher::Kind::Glob) {
                globs_.push_back(&st.matcher);
            } else if (exact_id(st.matcher.text()) == npos) {
                if (exact_names_.size() == kFewNames)
                    for (std::uint32_t i = 0; i < kFewNames; ++i) exact_.emplace(exact_names_[i], i);
                if (exact_names_.size() >= kFewNames)
                    exact_.emplace(st.matcher.text(), static_cast<std::uint32_t>(exact_names_.size()));
                exact_names_.push_back(st.matcher.text());
            }
        }
    }
    starts_.assign(programs.size(), npos);
    for (std::uint32_t i = 0; i < programs.size(); ++i)
        if (!programs[i]->steps.empty()) starts_[i] = add_position(i, 0, true);
    // Symbol 0: a name no step names.
    symbols_.emplace(std::string(12, '\xff'), 0);
    symbol_count_ = 1;
    plain_symbol_.assign(exact_names_.size(), 0);
}

std::uint32_t BatchAutomaton::add_position(std::uint32_t program, std::uint32_t step, bool sv) {
    std::uint32_t& known = pos_at_[pos_base_[program] + 2 * std::size_t{step} + (sv ? 1 : 0)];
    if (known != npos) return known;
    const std::uint32_t id = static_cast<std::uint32_t>(pos_.size());
    known = id;
    const Program& prog = *programs_[program];
    const Step& st = prog.steps[step];
    Position& p = pos_.emplace_back();
    p.st = &st;
    p.program = program;
    p.step = step;
    p.sv = sv;
    p.last = step + 1 == prog.steps.size();
    p.may_stop = may_stop_[program];
    p.hint = prog.result_hint;
    if (!st.is_element()) return id;
    const SelKind k = st.selector.kind;
    p.counted = (k == SelKind::None && !p.last) || k == SelKind::Index || k == SelKind::Count || k == SelKind::Filter;
    if (k == SelKind::Filter || k == SelKind::FilterAll) {
        const std::size_t nrest = prog.steps.size() - step - 1;
        p.streams = fits_streaming_route(*st.selector.filter, prog.steps.data() + step + 1, nrest) &&
                    (nrest > 0 || p.hint != ResultHint::Texts);
    }
    return id;
}

std::uint32_t BatchAutomaton::exact_id(Bytes name) const {
    if (exact_names_.size() <= kFewNames) {
        for (std::uint32_t i = 0; i < exact_names_.size(); ++i)
            if (exact_names_[i] == name) return i;
        return npos;
    }
    const auto it = exact_.find(name);
    return it == exact_.end() ? npos : it->second;
}

std::uint32_t BatchAutomaton::descend_of(std::uint32_t id) {
    const Position p = pos_[id];
    return add_position(p.program, p.step + 1, p.sv && p.st->selector.kind != SelKind::Each);
}

std::uint32_t BatchAutomaton::search_of(std::uint32_t id) {
    const Position p = pos_[id];
    return p.sv ? add_position(p.program, p.step, false) : id;
}

std::uint32_t BatchAutomaton::intern(std::vector<std::uint32_t>& positions) {
    std::sort(positions.begin(), positions.end());
    key_.clear();
    for (const std::uint32_t p : positions) append_u32(key_, p);
    if (auto it = state_ids_.find(key_); it != state_ids_.end()) return it->second;
    const std::uint32_t id = static_cast<std::uint32_t>(states_.size());
    State& s = states_.emplace_back();
    s.pos = positions;
    s.slot.reserve(positions.size());
    s.only_descendant_captures = !positions.empty();
    for (const std::uint32_t p : positions) {
        const Position& P = pos_[p];
        s.only_descendant_captures = s.only_descendant_captures && P.st->descendant && P.last;
        const NameMatcher& m = P.st->matcher;
        if (m.kind() == NameMatcher::Kind::Glob) s.global = true;
        else if (!s.global &&
                 std::none_of(s.local.begin(), s.local.end(), [&](const NameMatcher* x) { return x->text() == m.text(); }))
            s.local.push_back(&m);
        s.global = s.global || s.local.size() > kLocalNames;
        if (!P.counted) {
            s.slot.push_back(-1);
            continue;
        }
        if (P.st->selector.kind == SelKind::Count) s.counts.emplace_back(s.nslots, P.program);
        s.slot.push_back(static_cast<std::int32_t>(s.nslots++));
    }
    if (s.global) s.local.clear();
    if (states_.size() > max_states) s.transient = true;
    else state_ids_.emplace(key_, id);
    return id;
}

std::uint32_t BatchAutomaton::symbol(Bytes name) {
    std::uint32_t hit1 = npos, hit2 = npos;
    const std::size_t colon = name.find(':');
    hit1 = exact_id(name);
    if (colon != Bytes::npos) {
        const Bytes local = name.substr(colon + 1);
        if (local.find(':') == Bytes::npos) hit2 = exact_id(local);
    }
    std::uint32_t globs = 0;
    if (!globs_.empty()) {
        auto known = glob_sets_.find(name);
        if (known != glob_sets_.end()) {
            globs = known->second;
        } else {
            key_.clear();
            for (std::uint32_t g = 0; g < globs_.size(); ++g)
                if (globs_[g]->matches_name(name)) append_u32(key_, g);
            if (!key_.empty()) {
                auto set = glob_set_ids_.find(key_);
                if (set == glob_set_ids_.end()) {
                    if (glob_set_ids_.size() >= max_names) return kNoSymbol;
                    set = glob_set_ids_.emplace(key_, static_cast<std::uint32_t>(glob_set_ids_.size() + 1)).first;
                }
                globs = set->second;
            }
            if (glob_sets_.size() < max_names) glob_sets_.emplace(std::string(name), globs);
        }
    }
    // The symbol is the set of names hit: one hit is the same symbol whether
    // the name is its text or has it as local part.
    if (hit1 == npos) std::swap(hit1, hit2);
    else if (hit2 != npos && hit2 < hit1) std::swap(hit1, hit2);
    if (hit1 == npos && globs == 0) return 0;
    if (hit1 != npos && hit2 == npos && globs == 0 && plain_symbol_[hit1] != 0) return plain_symbol_[hit1];
    key_.clear();
    append_u32(key_, hit1);
    append_u32(key_, hit2);
    append_u32(key_, globs);
    auto it = symbols_.find(key_);
    if (it == symbols_.end()) {
        if (symbols_.size() >= max_names) return kNoSymbol;
        it = symbols_.emplace(key_, symbol_count_++).first;
        if (hit1 != npos && hit2 == npos && globs == 0) plain_symbol_[hit1] = it->second;
    }
    return it->second;
}

void BatchAutomaton::build_row(std::uint32_t state, Bytes name, Row& out) {
    out.acts.clear();
    out.fixed.clear();
    out.fixed_answers.clear();
    out.kids.clear();
    out.enter = out.descend = false;
    out.searches_capture = true;
    // Positions are added below (states_ stays as it is).
    for (std::size_t i = 0; i < states_[state].pos.size(); ++i) {
        const std::uint32_t id = states_[state].pos[i];
        const std::int32_t slot = states_[state].slot[i];
        const Position P = pos_[id];
        if (!matches(P, name)) {
            if (!P.st->descendant) continue;
            out.enter = true;
            out.searches_capture = out.searches_capture && P.last;
            const std::uint32_t kid = search_of(id);
            if (P.may_stop) out.acts.push_back(Act{id, slot, true, kid});
            else out.fixed.push_back(kid);
            continue;
        }
        const std::uint32_t kid = P.last ? npos : descend_of(id);
        if (P.st->selector.kind == SelKind::Each && !P.last && !P.may_stop) {
            // Apply the rest of the path inside, whatever came before.
            out.enter = out.descend = true;
            (pos_[kid].st->is_element() ? out.fixed : out.fixed_answers).push_back(kid);
            continue;
        }
        out.acts.push_back(Act{id, slot, false, kid});
    }
    out.idle = out.acts.empty() && !out.enter;
    out.searches_only = out.acts.empty() && out.enter && !out.descend && out.searches_capture;
}

bool BatchAutomaton::room(std::vector<std::int32_t>& index, std::uint32_t key) {
    if (key < index.size()) return true;
    const std::size_t grown = std::max<std::size_t>(key + 1, index.size() * 2);
    if (cells_ + grown - index.size() > max_cells) return false;
    cells_ += grown - index.size();
    index.resize(grown, 0);
    return true;
}

BatchAutomaton::Row& BatchAutomaton::new_row(std::uint32_t state, std::uint32_t sym, Bytes name) {
    State& s = states_[state];
    if (sym != kNoSymbol && !s.transient) {
        if (rows_.size() < max_rows && room(s.rows, sym)) {
            s.rows[sym] = static_cast<std::int32_t>(rows_.size() + 1);
            Row& r = rows_.emplace_back();
            build_row(state, name, r);
            return r;
        }
    }
    build_row(state, name, scratch_);
    return scratch_;
}

const std::vector<std::uint32_t>& BatchAutomaton::empty_row(std::uint32_t state, std::uint32_t sym, Bytes name) {
    State& s = states_[state];
    const bool keep = sym != kNoSymbol && !s.transient;
    if (keep && sym < s.empty_rows.size() && s.empty_rows[sym] != 0)
        return empty_rows_[static_cast<std::size_t>(s.empty_rows[sym] - 1)];
    std::vector<std::uint32_t>* out = &scratch_empty_;
    if (keep && rows_.size() + empty_rows_.size() < max_rows && room(s.empty_rows, sym)) {
        s.empty_rows[sym] = static_cast<std::int32_t>(empty_rows_.size() + 1);
        out = &empty_rows_.emplace_back();
    }
    out->clear();
    for (std::size_t i = 0; i < s.pos.size(); ++i)
        if (matches(pos_[s.pos[i]], name)) out->push_back(static_cast<std::uint32_t>(i));
    return *out;
}

std::uint32_t BatchAutomaton::child(Row& row, std::uint64_t mask, std::vector<std::uint32_t>& extra) {
    const bool memo = row.acts.size() <= 64 && &row != &scratch_;
    if (memo)
        for (const auto& [m, st] : row.kids)
            if (m == mask) return st;
    extra.insert(extra.end(), row.fixed.begin(), row.fixed.end());
    const std::uint32_t st = intern(extra);
    if (memo && !states_[st].transient && row.kids.size() < 8) row.kids.emplace_back(mask, st);
    return st;
}

}  // namespace quelmar::detail

// ---- the pass over a document

namespace quelmar::detail {
namespace {

template <class T>
inline void truncate(std::vector<T>& v, std::size_t n) {
    v.erase(v.begin() + static_cast<std::ptrdiff_t>(n), v.end());
}

constexpr std::uint32_t kNoSlot = 0xffffffffu;

struct Slot {
    [[no_unique_address]] SelectorState sel;
    bool finished = false;  // an Index / Filter level found its result
};

struct Action {
    enum class Kind : std::uint8_t {
        SearchInside, Capture, Descend, FilterCheck,
        Watched,  // a FilterCheck decided by a watch while the element's children are read
        Watch,    // a child a watch needs: the filter's left side and/or a result of the next step
    };
    Kind kind;
    std::uint32_t pos;         // the position (Watch: the index of the watch)
    std::uint32_t slot;        // its selector slot, or kNoSlot
    std::size_t items_before;  // Descend: the program's result count before the descent
    bool candidate = false;    // Watch: this child gives the filter's left-hand text
    bool result = false;       // Watch: this child is a result of the next step
};

struct Watch {
    std::uint32_t pos, slot;  // the FilterCheck's position and slot, in the parent level
    StreamFilter machine;
};

struct Level {
    std::uint32_t state;
    std::size_t slot_begin;
    bool has_context;
    // While a child level runs for the start tag `tag` of this level:
    std::size_t action_begin = 0, action_end = 0;
    std::size_t text_begin = 0;  // programs wanting the tag's text: text_programs[text_begin, ...)
    std::uint64_t tag_p = 0;
    Event tag;
    std::size_t watch_begin = 0, watch_end = 0;  // watches deciding this level's element
    bool serve = false;     // the pending actions include captures, filters, watches or Index descents
    bool preserve = false;  // inside an xml:space="preserve" scope
};

class BatchPass {
public:
    BatchPass(const std::vector<const Program*>& programs, Bytes source, bool emit_spans,
              std::vector<ItemSink>& results, EngineError& err, bool preserve, const BatchCaps* caps)
        : programs_(programs), auto_(programs), source_(source), emit_spans_(emit_spans), results_(results),
          err_(err), preserve_(preserve) {
        if (caps != nullptr) {
            auto_.max_states = caps->states;
            auto_.max_rows = caps->rows;
            auto_.max_names = caps->names;
            auto_.max_cells = caps->cells;
        }
        ctx_.error = &err_;
        state_.reserve(programs.size());
        for (const Program* prog : programs) {
            const bool first_only = !prog->modifiers.empty() && prog->modifiers[0] == Modifier::First;
            state_.push_back(static_cast<std::uint8_t>((prog->steps.empty() ? kComplete : 0) |
                                                       (first_only ? kFirstOnly : 0)));
        }
        actions_.reserve(16);
    }

    Outcome run_document(Reader& reader) {
        std::vector<std::uint32_t> top;
        for (std::uint32_t i = 0; i < programs_.size(); ++i) {
            if (programs_[i]->steps.empty()) continue;
            // @x or #text at the top of a document has no element to read.
            if (!programs_[i]->steps[0].is_element()) state_[i] |= kComplete;
            else top.push_back(auto_.start(i));
        }
        if (top.empty()) return Outcome::Ok;
        push_level(auto_.intern(top), false, preserve_);
        return loop(reader, 0);
    }

    Outcome run_element(Reader& reader) {
        std::vector<std::uint32_t> top;
        answers_.clear();
        for (std::uint32_t i = 0; i < programs_.size(); ++i) {
            if (programs_[i]->steps.empty()) continue;
            (programs_[i]->steps[0].is_element() ? top : answers_).push_back(auto_.start(i));
        }
        if (top.empty() && answers_.empty()) return Outcome::Ok;
        for (;;) {
            const std::uint64_t p = reader.buffer_position();
            Event ev = reader.read_event();
            if (ev.kind == EventKind::Empty) {
                answer_attr_text(ev, reader, /*empty=*/true);
                // An empty element has no children; counts of them answer 0.
                for (const std::uint32_t id : top)
                    if (auto_.position(id).st->selector.kind == Selector::Kind::Count)
                        results_[auto_.position(id).program].push(Item::text("0"));
                return Outcome::Ok;
            }
            if (ev.kind == EventKind::Start) {
                // A parent level stands for the element itself: it receives
                // the element's text once its content has been read.
                std::vector<std::uint32_t> none;
                push_level(auto_.intern(none), false, preserve_);
                levels_.back().tag = ev;
                levels_.back().tag_p = p;
                answer_attr_text(ev, reader, false);
                push_level(auto_.intern(top), true, preserve_inside(preserve_, ev.content, ev.name_len));
                return loop(reader, 1);
            }
            if (ev.kind == EventKind::Eof) return Outcome::Ok;
        }
    }

private:
    void push_level(std::uint32_t state, bool has_context, bool preserve) {
        const std::size_t nslots = auto_.state(state).nslots;
        Level& L = levels_.emplace_back();
        L.state = state;
        L.slot_begin = slots_.size();
        L.has_context = has_context;
        L.preserve = preserve;
        slots_.resize(slots_.size() + nslots);
    }

    const BatchAutomaton::Position& pos(std::uint32_t id) const { return auto_.position(id); }
    const Step* rest_of(const BatchAutomaton::Position& P, std::size_t& nrest) const {
        const auto& steps = programs_[P.program]->steps;
        nrest = steps.size() - P.step - 1;
        return steps.data() + P.step + 1;
    }
    bool program_done(std::uint32_t program) const {
        const std::uint8_t s = state_[program];
        return (s & kComplete) || ((s & kFirstOnly) && !results_[program].empty());
    }
    bool all_done() {
        while (first_live_ < programs_.size() && program_done(first_live_)) ++first_live_;
        return first_live_ == programs_.size();
    }
    void level_found(std::uint32_t id, std::uint32_t slot) {
        if (slot != kNoSlot) slots_[slot].finished = true;
        if (pos(id).sv) state_[pos(id).program] |= kComplete;
    }

    // The @attr and #text positions in answers_ take their answer from the
    // tag: attributes at once, texts once the element has been read
    // (`text_programs_`), at once for an empty element.
    void answer_attr_text(const Event& tag, Reader& reader, bool empty) {
        for (const std::uint32_t id : answers_) {
            const BatchAutomaton::Position& P = pos(id);
            if (P.st->kind == Step::Kind::Attribute) {
                if (auto v = read_attr(tag.content, tag.name_len, P.st->attribute, reader.coding()))
                    results_[P.program].push(Item::text(std::move(*v)));
            } else if (empty) {
                results_[P.program].push(Item::text(std::string()));
            } else {
                text_programs_.push_back(P.program);
            }
        }
        answers_.clear();
    }

    bool has_element_positions(const Level& L) const {
        return L.watch_end > L.watch_begin || !auto_.state(L.state).pos.empty();
    }

    Outcome loop(Reader& reader, std::size_t stop_depth) {
        if (!has_element_positions(levels_.back())) {
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
                    for (const auto& [slot, program] : auto_.state(L.state).counts)
                        results_[program].push(Item::text(std::to_string(slots_[L.slot_begin + slot].sel.count)));
                    o = finish_level(reader, stop_depth);
                    break;
                }
                default: break;
            }
            if (o != Outcome::Ok) return o;
        }
        return Outcome::Ok;
    }

    Outcome ambiguous(const BatchAutomaton::Position& P) {
        err_.kind = EngineError::Kind::Ambiguous;
        err_.name = P.st->matcher.text();
        return Outcome::Ambiguous;
    }

    struct Plan {
        bool enter = false, descend = false, index_descent = false, searches_capture = true;
        bool capture = false, all_capture_text = true, watch = false;
        std::size_t filters = 0, streamable = 0;
    };

    // Decides the row's acts at a child's start tag into actions_ (and the
    // children they add into kids_, the @attr/#text ones into answers_).
    // `watched`: the level's watches have already taken the tag (and wanted it).
    Outcome plan_actions(const Level& L, BatchAutomaton::Row& row, const TagName& tag_name, Plan& plan,
                         std::uint64_t& mask, bool watched) {
        plan.enter = row.enter;
        plan.descend = row.descend;
        plan.searches_capture = row.searches_capture;
        for (std::size_t k = 0; k < row.acts.size(); ++k) {
            const BatchAutomaton::Act act = row.acts[k];
            const BatchAutomaton::Position& P = pos(act.pos);
            const std::uint32_t slot = act.slot < 0 ? kNoSlot : static_cast<std::uint32_t>(L.slot_begin) +
                                                                    static_cast<std::uint32_t>(act.slot);
            if ((slot != kNoSlot && slots_[slot].finished) || program_done(P.program)) continue;
            Action::Kind kind;
            std::uint32_t kid = BatchAutomaton::npos;
            if (act.search) {
                kind = Action::Kind::SearchInside;
                kid = act.kid;
                plan.enter = true;
                plan.searches_capture = plan.searches_capture && P.last;
            } else {
                SelectorState none;
                switch (select_match(*P.st, slot != kNoSlot ? slots_[slot].sel : none, !P.last)) {
                    case Selected::Yes:
                        if (P.last) {
                            kind = Action::Kind::Capture;
                            plan.capture = true;
                            plan.all_capture_text = plan.all_capture_text && P.hint == ResultHint::Texts;
                        } else {
                            kind = Action::Kind::Descend;
                            kid = act.kid;
                            plan.enter = plan.descend = true;
                            plan.index_descent = plan.index_descent || P.st->selector.kind == Selector::Kind::Index;
                        }
                        break;
                    case Selected::IfFilter:
                        kind = Action::Kind::FilterCheck;
                        ++plan.filters;
                        plan.streamable += P.streams;
                        break;
                    case Selected::Ambiguous: return ambiguous(P);
                    default: continue;
                }
            }
            const std::size_t before = kind == Action::Kind::Descend ? results_[P.program].received() : 0;
            actions_.push_back(Action{kind, act.pos, slot, before});
            if (kid != BatchAutomaton::npos) {
                if (!pos(kid).st->is_element()) {
                    answers_.push_back(kid);
                } else {
                    kids_.push_back(kid);
                    if (k < 64) mask |= std::uint64_t{1} << k;
                }
            }
        }
        plan.watch = watched || watch_children(L, tag_name);
        return Outcome::Ok;
    }

    Outcome on_start(Reader& reader, const Event& tag, std::uint64_t p, std::size_t stop_depth) {
        const std::size_t a0 = actions_.size();
        const TagName tag_name(tag.name(), reader.encoding());
        const Level& L = levels_.back();
        BatchAutomaton::Row& row = auto_.row(L.state, auto_.key(L.state, tag_name.text()), tag_name.text());
        // A row with no acts of its own is served without planning unless
        // a watch of the level wants the tag (its actions are then the
        // only ones, taken here once).
        bool watched = false;
        if ((row.idle || row.searches_only) &&
            (L.watch_end == L.watch_begin || !(watched = watch_children(L, tag_name)))) {
            if (row.idle) {
                skip_element(reader);
                return Outcome::Ok;
            }
            if (row.searches_only) {
                // The flat scan below, with nothing to serve: a leaf is read
                // in one search.
                Bytes leaf;
                if (reader.skip_leaf(leaf)) return Outcome::Ok;
                search_.assign(row.fixed.begin(), row.fixed.end());
                return scan_descendants(reader, preserve_inside(L.preserve, tag.content, tag.name_len));
            }
        }
        Plan plan;
        std::uint64_t mask = 0;
        kids_.clear();
        answers_.clear();
        Outcome o = plan_actions(L, row, tag_name, plan, mask, watched);
        if (o != Outcome::Ok) return o;
        const std::size_t a1 = actions_.size();
        if (a0 == a1 && !plan.enter) {
            skip_element(reader);
            return Outcome::Ok;
        }
        if (plan.streamable > 0 && (plan.enter || plan.filters > 1 || plan.capture || plan.watch)) plan.enter = true;
        if (plan.enter && !plan.descend && plan.streamable == 0 && plan.searches_capture) {
            // Only searches for descendants to capture look inside: scan the
            // element flat for them, then serve the others from its bytes.
            Bytes leaf;
            const bool is_leaf = reader.skip_leaf(leaf);
            if (!is_leaf) {
                search_.assign(row.fixed.begin(), row.fixed.end());
                search_.insert(search_.end(), kids_.begin(), kids_.end());
                o = scan_descendants(reader, preserve_inside(levels_.back().preserve, tag.content, tag.name_len));
            }
            if (o == Outcome::Ok && (plan.capture || plan.filters > 0 || plan.watch))
                o = serve_read(reader, tag, p, a0, a1, is_leaf ? &leaf : nullptr);
        } else if (plan.enter) {
            return enter_element(reader, tag, p, a0, a1, plan, row, mask, stop_depth);
        } else if (plan.capture && plan.all_capture_text && plan.filters == 0 && !plan.watch) {
            // Every capture wants the element's text; read it once.
            const std::string text = read_text_in_scope(reader);
            int keeps = -1;
            for (std::size_t a = a0; a < a1; ++a) {
                const Action& act = actions_[a];
                ItemSink& out = results_[pos(act.pos).program];
                if (!out.folds() && keeps < 0) {
                    const std::uint64_t q = std::min<std::uint64_t>(reader.buffer_position(), source_.size());
                    keeps = text_keeps_space(text, levels_.back().preserve, source_.substr(p, q - p));
                }
                out.push_text(text, keeps > 0);
                if (stops(act.pos)) level_found(act.pos, act.slot);
            }
        } else if (plan.filters == 1 && !plan.capture && !plan.watch && pos(actions_[a0].pos).streams) {
            const Action act = actions_[a0];
            const BatchAutomaton::Position& P = pos(act.pos);
            std::size_t nrest = 0;
            const Step* rest = rest_of(P, nrest);
            const bool held = stream_filter_scope(reader, source_, tag, *P.st->selector.filter, rest, nrest, p, P.hint,
                                                  emit_spans_, results_[P.program], levels_.back().preserve);
            if (held && stops(act.pos)) level_found(act.pos, act.slot);
        } else {
            skip_element(reader);
            o = serve_read(reader, tag, p, a0, a1);
        }
        truncate(actions_, a0);
        return o;
    }

    bool stops(std::uint32_t id) const {
        const Selector::Kind k = pos(id).st->selector.kind;
        return k == Selector::Kind::Index || k == Selector::Kind::Filter;
    }

    Outcome enter_element(Reader& reader, const Event& tag, std::uint64_t p, std::size_t a0, std::size_t a1,
                          const Plan& plan, BatchAutomaton::Row& row, std::uint64_t mask, std::size_t stop_depth) {
        answers_.insert(answers_.end(), row.fixed_answers.begin(), row.fixed_answers.end());
        const std::uint32_t child_state = auto_.child(row, mask, kids_);
        const std::size_t watch_begin = watches_.size();
        for (std::size_t a = a0; a < a1; ++a) {
            Action& act = actions_[a];
            if (act.kind != Action::Kind::FilterCheck || !pos(act.pos).streams) continue;
            act.kind = Action::Kind::Watched;
            const BatchAutomaton::Position& P = pos(act.pos);
            std::size_t nrest = 0;
            const Step* rest = rest_of(P, nrest);
            watches_.push_back(Watch{act.pos, act.slot, StreamFilter(*P.st->selector.filter, rest, nrest, P.hint)});
            watches_.back().machine.text_scope(levels_.back().preserve, tag);
        }
        const bool filters_left = plan.filters > watches_.size() - watch_begin;
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
        answer_attr_text(tag, reader, false);
        push_level(child_state, true, preserve_inside(levels_[parent_at].preserve, tag.content, tag.name_len));
        Level& child = levels_.back();
        child.watch_begin = watch_begin;
        child.watch_end = watches_.size();
        const BatchAutomaton::State& cs = auto_.state(child_state);
        if (!has_element_positions(child)) {
            if (text_programs_.size() > levels_[parent_at].text_begin && !plan.capture && plan.filters == 0) {
                // Only texts are wanted: read them in the same pass.
                std::string text = read_text_in_scope(reader);
                deliver_text(levels_[parent_at], text, child.preserve);
            } else {
                consume_to_end(reader, true);
            }
            return finish_level(reader, stop_depth);
        }
        if (child.watch_end == child.watch_begin && cs.only_descendant_captures) {
            search_.assign(cs.pos.begin(), cs.pos.end());
            Outcome o = scan_descendants(reader, child.preserve);
            if (o != Outcome::Ok) return o;
            return finish_level(reader, stop_depth);
        }
        return Outcome::Ok;
    }

    void deliver_text(Level& parent, const std::string& text, bool preserve) {
        for (std::size_t i = parent.text_begin; i < text_programs_.size(); ++i)
            results_[text_programs_[i]].push_text(text, preserve);
        truncate(text_programs_, parent.text_begin);
    }

    Outcome serve_read(Reader& reader, const Event& tag, std::uint64_t p, std::size_t a0, std::size_t a1,
                       const Bytes* leaf = nullptr) {
        std::uint64_t q = reader.buffer_position();
        if (q > source_.size()) q = source_.size();
        const Bytes fragment = source_.substr(p, q - p);
        const Coding enc = reader.coding();
        const bool around = levels_.back().preserve;
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
                StreamFilter& machine = watches_[act.pos].machine;
                if (act.candidate) machine.take_left(element_text());
                if (act.result) machine.keep(source_, p, q, emit_spans_, enc, element_text);
                continue;
            }
            const BatchAutomaton::Position& P = pos(act.pos);
            ItemSink& out = results_[P.program];
            if (act.kind == Action::Kind::Capture) {
                if (P.hint == ResultHint::Elements && out.folds_numbers()) out.fold_text(element_text());
                else collect_element(out, P.hint, source_, p, q, emit_spans_, enc, element_text, around);
                if (stops(act.pos)) level_found(act.pos, act.slot);
            } else if (act.kind == Action::Kind::FilterCheck) {
                bool found = false;
                Outcome o = filter_fragment(P, tag, fragment, enc, found, around);
                if (o != Outcome::Ok) return o;
                if (found && stops(act.pos)) level_found(act.pos, act.slot);
            }
        }
        return Outcome::Ok;
    }

    // The flat form of the levels below an element whose positions only
    // capture descendants (`search_`): a depth counter in place of levels.
    // A position that matches an element captures it and does not look
    // inside it, but the others do; the element is skipped whole only when
    // no position is left to look inside. Reads through the element's end.
    Outcome scan_descendants(Reader& reader, bool preserve) {
        if (search_.size() == 1) return scan_for_one(reader, preserve, search_[0]);
        waits_.clear();
        toggles_.clear();
        auto scope = [&] { return preserve != ((toggles_.size() & 1) != 0); };
        auto waiting = [&](std::uint32_t id) {
            for (const WaitSlot& w : waits_)
                if (w.pos == id) return true;
            return false;
        };
        auto close = [&](std::size_t depth) {
            std::size_t out = 0;
            for (std::size_t k = 0; k < waits_.size(); ++k) {
                const WaitSlot w = waits_[k];
                if (w.depth >= depth) capture_read(w.pos, w.start, reader, w.preserve);
                else waits_[out++] = w;
            }
            waits_.resize(out);
        };
        std::size_t depth = 0;
        for (;;) {
            if (all_done()) return Outcome::Done;
            std::uint64_t p;
            Event ev = reader.read_markup_event(p);
            switch (ev.kind) {
                case EventKind::Start: {
                    const TagName tag_name(ev.name(), reader.encoding());
                    matched_.clear();
                    bool others = false;
                    for (const std::uint32_t id : search_) {
                        if (program_done(pos(id).program) || waiting(id)) continue;
                        if (tag_name.accepted_by(pos(id).st->matcher)) matched_.push_back(id);
                        else others = true;
                    }
                    const bool around = scope();
                    if (!matched_.empty() && !others) {
                        skip_element(reader);
                        for (const std::uint32_t id : matched_) capture_read(id, p, reader, around);
                        break;
                    }
                    for (const std::uint32_t id : matched_) waits_.push_back(WaitSlot{id, around, depth, p});
                    if (preserve_inside(around, ev.content, ev.name_len) != around) toggles_.push_back(depth);
                    ++depth;
                    break;
                }
                case EventKind::Empty: {
                    const TagName tag_name(ev.name(), reader.encoding());
                    for (const std::uint32_t id : search_) {
                        if (program_done(pos(id).program) || waiting(id) || !tag_name.accepted_by(pos(id).st->matcher))
                            continue;
                        results_[pos(id).program].push(Item::owned(serialize_empty(ev.content), reader.coding()));
                    }
                    break;
                }
                case EventKind::End:
                case EventKind::Error:
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

    // The same for one position (`**.x` alone below an element): a match is
    // captured whole and never looked into, so nothing waits and the level
    // is a bare depth. Only a capture can change whether the batch is done.
    Outcome scan_for_one(Reader& reader, bool preserve, std::uint32_t id) {
        toggles_.clear();
        const BatchAutomaton::Position& P = pos(id);
        const NameMatcher& matcher = P.st->matcher;
        ItemSink& out = results_[P.program];
        if (all_done()) return Outcome::Done;
        std::size_t depth = 0;
        for (;;) {
            std::uint64_t p;
            Event ev = reader.read_markup_event(p);
            switch (ev.kind) {
                case EventKind::Start: {
                    const bool around = preserve != ((toggles_.size() & 1) != 0);
                    if (!program_done(P.program) && TagName(ev.name(), reader.encoding()).accepted_by(matcher)) {
                        skip_element(reader);
                        capture_read(id, p, reader, around);
                        if (all_done()) return Outcome::Done;
                        break;
                    }
                    if (preserve_inside(around, ev.content, ev.name_len) != around) toggles_.push_back(depth);
                    ++depth;
                    break;
                }
                case EventKind::Empty:
                    if (!program_done(P.program) && TagName(ev.name(), reader.encoding()).accepted_by(matcher)) {
                        out.push(Item::owned(serialize_empty(ev.content), reader.coding()));
                        if (all_done()) return Outcome::Done;
                    }
                    break;
                case EventKind::End:
                case EventKind::Error:
                    if (depth == 0) return Outcome::Ok;
                    --depth;
                    if (!toggles_.empty() && toggles_.back() == depth) toggles_.pop_back();
                    break;
                case EventKind::Eof: return Outcome::Ok;
                default: break;
            }
        }
    }

    void capture_read(std::uint32_t id, std::uint64_t p, Reader& reader, bool preserve) {
        std::uint64_t q = reader.buffer_position();
        if (q > source_.size()) q = source_.size();
        const Coding enc = reader.coding();
        collect_element(results_[pos(id).program], pos(id).hint, source_, p, q, emit_spans_, enc,
                        [&] { return extract_element_text(source_.substr(p, q - p), enc); }, preserve);
    }

    [[gnu::always_inline]] bool watch_children(const Level& L, const TagName& tag_name) {
        bool any = false;
        for (std::size_t w = L.watch_begin; w < L.watch_end; ++w) {
            const StreamFilter::Child child = watches_[w].machine.child(tag_name);
            if (!child.candidate && !child.result) continue;
            Action act{Action::Kind::Watch, static_cast<std::uint32_t>(w), kNoSlot, 0};
            act.candidate = child.candidate;
            act.result = child.result;
            actions_.push_back(act);
            any = true;
        }
        return any;
    }

    void decide_watches(const Level& child, const Level& parent, std::uint64_t q, const Coding& enc) {
        for (std::size_t w = child.watch_begin; w < child.watch_end; ++w) {
            const Watch& watch = watches_[w];
            if (watches_[w].machine.decide(results_[pos(watch.pos).program], source_, parent.tag, parent.tag_p, q,
                                           emit_spans_, enc, parent.preserve) &&
                stops(watch.pos))
                level_found(watch.pos, watch.slot);
        }
        truncate(watches_, child.watch_begin);
    }

    // A filter on an element cut out of the document, answered as the
    // single-path engine answers it (`found` included).
    Outcome filter_fragment(const BatchAutomaton::Position& P, const Event& tag, Bytes fragment, const Coding& enc,
                            bool& found, bool around) {
        const Filter& flt = *P.st->selector.filter;
        std::size_t nrest = 0;
        const Step* rest = rest_of(P, nrest);
        ItemSink& out = results_[P.program];
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
                    found = stream_filter_scope(r, fragment, root, flt, rest, nrest, rp, P.hint, false, out, around);
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
        const Level& L = levels_.back();
        const Coding enc = reader.coding();
        const TagName tag_name(tag.name(), enc);
        for (std::size_t w = L.watch_begin; w < L.watch_end; ++w) {
            StreamFilter& machine = watches_[w].machine;
            if (machine.child(tag_name).result)
                machine.keep(source_, p, reader.buffer_position(), emit_spans_, enc, [] { return Bytes(); });
        }
        const std::uint32_t state = L.state;
        const std::size_t slot_begin = L.slot_begin;
        const auto& hits = auto_.empty_row(state, auto_.key(state, tag_name.text()), tag_name.text());
        for (const std::uint32_t i : hits) {
            const BatchAutomaton::State& s = auto_.state(state);
            const std::uint32_t id = s.pos[i];
            const std::uint32_t slot =
                s.slot[i] < 0 ? kNoSlot : static_cast<std::uint32_t>(slot_begin) + static_cast<std::uint32_t>(s.slot[i]);
            const BatchAutomaton::Position& P = pos(id);
            if ((slot != kNoSlot && slots_[slot].finished) || program_done(P.program)) continue;
            std::size_t nrest = 0;
            const Step* rest = rest_of(P, nrest);
            ItemSink& out = results_[P.program];
            bool done = false;
            SelectorState none;
            // Empty elements take no part in the ambiguity rule here.
            switch (select_match(*P.st, slot != kNoSlot ? slots_[slot].sel : none, false)) {
                case Selected::Yes: {
                    const std::size_t before = out.received();
                    handle_empty_inner(tag, rest, nrest, out, enc);
                    done = out.received() > before;
                    break;
                }
                case Selected::IfFilter: {
                    Outcome o = filter_empty_element(tag, *P.st->selector.filter, rest, nrest, out, enc, ctx_, done);
                    if (o != Outcome::Ok) return o;
                    break;
                }
                default: break;
            }
            if (done && stops(id)) level_found(id, slot);
        }
        return Outcome::Ok;
    }

    Outcome finish_level(Reader& reader, std::size_t stop_depth) {
        const Level child = levels_.back();
        levels_.pop_back();
        if (child.watch_end > child.watch_begin && !levels_.empty()) {
            std::uint64_t q = reader.buffer_position();
            if (q > source_.size()) q = source_.size();
            decide_watches(child, levels_.back(), q, reader.coding());
        }
        truncate(slots_, child.slot_begin);
        auto_.release(child.state);
        if (levels_.size() <= stop_depth) {
            if (!levels_.empty()) finish_element_texts(reader, child.preserve);
            return Outcome::Ok;
        }
        Level& parent = levels_.back();
        finish_element_texts(reader, child.preserve);
        if (!parent.serve) {
            truncate(actions_, parent.action_begin);
            parent.action_begin = parent.action_end = 0;
            return Outcome::Ok;
        }
        for (std::size_t a = parent.action_begin; a < parent.action_end; ++a) {
            const Action& act = actions_[a];
            if (act.kind == Action::Kind::Descend && stops(act.pos) &&
                results_[pos(act.pos).program].received() > act.items_before)
                level_found(act.pos, act.slot);
        }
        Outcome o = serve_read(reader, parent.tag, parent.tag_p, parent.action_begin, parent.action_end);
        truncate(actions_, parent.action_begin);
        parent.action_begin = parent.action_end = 0;
        return o;
    }

    void finish_element_texts(Reader& reader, bool preserve) {
        Level& parent = levels_.back();
        if (text_programs_.size() <= parent.text_begin) return;
        std::uint64_t q = reader.buffer_position();
        if (q > source_.size()) q = source_.size();
        const std::string text = extract_element_text(source_.substr(parent.tag_p, q - parent.tag_p), reader.coding());
        deliver_text(parent, text, preserve);
    }

    const std::vector<const Program*>& programs_;
    BatchAutomaton auto_;
    Bytes source_;
    bool emit_spans_;
    std::vector<ItemSink>& results_;
    EngineError& err_;
    EvalContext ctx_;
    static constexpr std::uint8_t kComplete = 1, kFirstOnly = 2;
    std::vector<std::uint8_t> state_;
    std::uint32_t first_live_ = 0;
    std::vector<Slot> slots_;
    std::vector<Action> actions_;
    std::vector<Level> levels_;
    std::vector<Watch> watches_;
    std::vector<std::uint32_t> kids_, answers_;
    std::vector<std::uint32_t> search_;
    std::vector<std::uint32_t> matched_;
    struct WaitSlot {
        std::uint32_t pos;
        bool preserve;
        std::size_t depth;
        std::uint64_t start;
    };
    std::vector<WaitSlot> waits_;
    std::vector<std::size_t> toggles_;
    std::vector<std::uint32_t> text_programs_;
    bool preserve_;
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

Expected<std::vector<Items>, EngineError> run_batch(const std::vector<const Program*>& programs, Bytes source,
                                                    bool emit_spans, bool unicode, const BatchCaps* caps) {
    const DocumentText doc(source, unicode);
    source = doc.bytes();
    emit_spans = emit_spans && !doc.transcoded();
    std::vector<ItemSink> results;
    results.reserve(programs.size());
    for (const Program* program : programs) results.push_back(begin_modifiers(*program, source));
    EngineError err;
    Outcome o = Outcome::Ok;
    {
        Reader reader(source);
        doc.prepare(reader);
        BatchPass pass(programs, source, emit_spans, results, err, false, caps);
        o = pass.run_document(reader);
    }
    return finish(programs, std::move(results), o, std::move(err), source);
}

Expected<std::vector<Items>, EngineError> run_batch_in_element(const std::vector<const Program*>& programs,
                                                               Bytes element, const Coding& coding, bool preserve,
                                                               const BatchCaps* caps) {
    std::vector<ItemSink> results;
    results.reserve(programs.size());
    for (const Program* program : programs) results.push_back(begin_modifiers(*program, element));
    EngineError err;
    Outcome o = Outcome::Ok;
    {
        Reader reader(element, coding);
        BatchPass pass(programs, element, false, results, err, preserve, caps);
        o = pass.run_element(reader);
    }
    return finish(programs, std::move(results), o, std::move(err), element);
}

}  // namespace quelmar::detail

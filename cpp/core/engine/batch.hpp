// The batch automaton: several programs over one document, decided by
// tables. A level of the document holds at most one position (program, step)
// per program, so the positions live at a level form a state; states are
// interned, and what a state does with a child tag of a given name (its row)
// is worked out once, on first use, by the selector decision every matcher
// takes, then looked up. A tag costs one name lookup and one row, however
// many paths the batch has; paths that do not look at a tag cost nothing.
//
// Names: every exact name of the batch's element steps is in one table made
// from the paths; a document name's symbol is the set of those names and of
// the batch's glob patterns it satisfies (the glob part memoised per distinct
// name up to a cap, then computed each time). States and rows are capped:
// past the caps a row is worked out for the tag at hand and not kept (same
// answers, no growth).
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/internal.hpp"

namespace quelmar::detail {

class BatchAutomaton {
public:
    // Where a program stands at a level: the step its next element must
    // satisfy, and whether every step above selects at most one element.
    struct Position {
        const Step* st;      // the step (element, @attr or #text)
        std::uint32_t program;
        std::uint32_t step;
        bool sv;             // single-valued above
        bool last;           // the step is the program's last
        bool may_stop;       // the program's answer can be complete before the end (Index, Filter, @first)
        bool counted;        // the level keeps a selector state for it (None going on, Index, Count, Filter)
        bool streams;        // its filter is decided while its element's children are read
        ResultHint hint;
    };
    struct State {
        std::vector<std::uint32_t> pos;    // sorted position ids (element steps only)
        std::vector<std::int32_t> slot;    // per position: its selector slot, or -1
        std::uint32_t nslots = 0;
        bool only_descendant_captures = false;  // every position is a last `**` step
        bool transient = false;            // made past the cap: dropped with its level, no rows kept
        std::vector<std::pair<std::uint32_t, std::uint32_t>> counts;  // (slot, program) of Count steps
        // A state whose steps test one exact name finds its rows by whether
        // a tag's name is that one (an inline compare), without the batch's
        // symbol table; the others by symbol.
        std::vector<const NameMatcher*> local;
        bool global = false;
        std::vector<std::int32_t> rows;    // per key: row id + 1, or 0 (not built), lazily sized
        std::vector<std::int32_t> empty_rows;
    };
    // What a tag's name does at a state.
    struct Act {
        std::uint32_t pos;
        std::int32_t slot;   // the selector slot at the level, or -1
        bool search;         // a descendant step looking inside a non-matching element
        std::uint32_t kid;   // the position it has inside the element, if it goes in
    };
    struct Row {
        std::vector<Act> acts;              // positions to decide at the tag (state order)
        std::vector<std::uint32_t> fixed;   // child positions every such tag gets (no decision needed)
        std::vector<std::uint32_t> fixed_answers;  // @attr / #text positions every such tag answers
        bool enter = false, descend = false, searches_capture = true;
        bool idle = true;  // nothing to do: the element is skipped (unless a filter of the level watches it)
        bool searches_only = false;  // only searches for descendants to capture look inside
        std::vector<std::pair<std::uint64_t, std::uint32_t>> kids;  // taken-acts mask -> child state
    };

    explicit BatchAutomaton(const std::vector<const Program*>& programs);

    const std::vector<Position>& positions() const noexcept { return pos_; }
    const Position& position(std::uint32_t id) const noexcept { return pos_[id]; }
    const State& state(std::uint32_t id) const noexcept { return states_[id]; }
    std::size_t state_count() const noexcept { return states_.size(); }
    std::size_t row_count() const noexcept { return rows_.size(); }
    std::size_t symbol_count() const noexcept { return symbol_count_; }

    // The first position of each program with steps (sv set), or npos.
    std::uint32_t start(std::uint32_t program) const noexcept { return starts_[program]; }
    static constexpr std::uint32_t npos = 0xffffffffu;

    // The state of these positions (sorted in place; element steps only).
    std::uint32_t intern(std::vector<std::uint32_t>& positions);
    // The symbol of a tag name (decoded as the matchers see it).
    std::uint32_t symbol(Bytes name);
    // The same through a small direct-mapped cache of recent names: a fixed
    // number of slots, each holding the last name that fell on it, so no
    // input can make it grow or chain (a clash costs a lookup in the
    // symbol table, nothing more).
    [[gnu::always_inline]] std::uint32_t cached_symbol(Bytes name) {
        if (name.empty() || name.size() > kCachedName) return symbol(name);
        const std::size_t h = (name.size() * 31u + static_cast<unsigned char>(name[0]) * 7u +
                               static_cast<unsigned char>(name.back())) & (kNameSlots - 1);
        NameSlot& slot = name_cache_[h];
        if (slot.len == name.size() && std::memcmp(slot.name, name.data(), name.size()) == 0) return slot.symbol;
        const std::uint32_t sym = symbol(name);
        std::memcpy(slot.name, name.data(), name.size());
        slot.len = static_cast<std::uint8_t>(name.size());
        slot.symbol = sym;
        return sym;
    }
    static constexpr std::size_t kLocalNames = 1;
    // The key of a tag name's rows at a state: its symbol, or for a state
    // with local names the bits of those it is.
    [[gnu::always_inline]] std::uint32_t key(std::uint32_t state, Bytes name) {
        const State& s = states_[state];
        if (s.global) [[unlikely]] return cached_symbol(name);
        std::uint32_t bits = 0;
        for (std::size_t k = 0; k < s.local.size(); ++k)
            bits |= static_cast<std::uint32_t>(s.local[k]->matches_name(name)) << k;
        return bits;
    }
    // The row of a start tag named `name` (its key at the state: `key`),
    // built on first use; a scratch row when the caps are reached.
    Row& row(std::uint32_t state, std::uint32_t key, Bytes name) {
        const State& s = states_[state];
        if (key < s.rows.size() && s.rows[key] != 0) [[likely]]
            return rows_[static_cast<std::size_t>(s.rows[key] - 1)];
        return new_row(state, key, name);
    }
    // The positions of a state an empty-element tag named `name` matches.
    const std::vector<std::uint32_t>& empty_row(std::uint32_t state, std::uint32_t key, Bytes name);
    // The child state of `row` for the acts taken (`mask`, bit per act) and
    // the children those acts add (`extra`).
    // `mask` is 0 with no memo when the row has more than 64 acts.
    std::uint32_t child(Row& row, std::uint64_t mask, std::vector<std::uint32_t>& extra);
    // Drops a transient state made by the last child() (its level has ended).
    void release(std::uint32_t state) noexcept {
        if (states_[state].transient && state + 1 == states_.size()) states_.pop_back();
    }
    static constexpr std::uint32_t kNoSymbol = 0xfffffffeu;  // a name whose symbol is not kept

    // Caps (tests lower them).
    std::size_t max_states = 1u << 14;
    std::size_t max_rows = 1u << 16;
    std::size_t max_names = 1u << 12;
    std::size_t max_cells = 1u << 20;  // row index entries over all states

private:
    std::uint32_t add_position(std::uint32_t program, std::uint32_t step, bool sv);
    // The position a match descends to (not last) or a search keeps inside.
    std::uint32_t descend_of(std::uint32_t id);
    std::uint32_t search_of(std::uint32_t id);
    bool matches(const Position& p, Bytes name) const { return p.st->matcher.matches_name(name); }
    void build_row(std::uint32_t state, Bytes name, Row& out);
    Row& new_row(std::uint32_t state, std::uint32_t key, Bytes name);
    // Makes `index` (a state's rows by key) reach `key`, within max_cells.
    bool room(std::vector<std::int32_t>& index, std::uint32_t key);
    std::size_t cells_ = 0;

    const std::vector<const Program*>& programs_;
    std::vector<Position> pos_;
    std::vector<std::uint32_t> starts_;
    std::vector<bool> may_stop_;  // per program
    std::vector<std::size_t> pos_base_;  // per program: its entries in pos_at_ (two per step, by sv)
    std::vector<std::uint32_t> pos_at_;
    std::vector<State> states_;
    std::unordered_map<std::string, std::uint32_t, KeyedHash, std::equal_to<>> state_ids_;
    std::vector<Row> rows_;
    Row scratch_;
    std::vector<std::uint32_t> scratch_empty_;
    std::vector<std::vector<std::uint32_t>> empty_rows_;
    // Names: the exact texts of the element steps (id + 1), the glob steps,
    // the symbols (interned sets of the above), the glob sets per name.
    // A few names are compared in turn; more go in the keyed table.
    static constexpr std::size_t kFewNames = 8;
    std::uint32_t exact_id(Bytes name) const;
    std::vector<std::string> exact_names_;
    std::unordered_map<std::string, std::uint32_t, KeyedHash, std::equal_to<>> exact_;
    std::vector<const NameMatcher*> globs_;
    std::unordered_map<std::string, std::uint32_t, KeyedHash, std::equal_to<>> symbols_;
    std::unordered_map<std::string, std::uint32_t, KeyedHash, std::equal_to<>> glob_sets_;  // name -> set key part
    std::unordered_map<std::string, std::uint32_t, KeyedHash, std::equal_to<>> glob_set_ids_;
    std::vector<std::uint32_t> plain_symbol_;  // exact id -> symbol of a colon-free name hitting it alone
    std::uint32_t symbol_count_ = 0;
    static constexpr std::size_t kCachedName = 22, kNameSlots = 64;
    struct NameSlot {
        char name[kCachedName];
        std::uint8_t len = 0xff;
        std::uint32_t symbol = 0;
    };
    NameSlot name_cache_[kNameSlots];
    std::string key_;
};

}  // namespace quelmar::detail

namespace quelmar::detail {

// The batch automaton's pass: run_many and run_many_in_element by tables.
// `caps` replaces the automaton's caps (the fuzz targets hold the fallbacks
// past tiny caps to the same answers).
struct BatchCaps {
    std::size_t states, rows, names, cells;
};
Expected<std::vector<Items>, EngineError> run_batch(const std::vector<const Program*>& programs, Bytes source,
                                                    bool emit_spans, bool unicode = false,
                                                    const BatchCaps* caps = nullptr);
Expected<std::vector<Items>, EngineError> run_batch_in_element(const std::vector<const Program*>& programs,
                                                               Bytes element, const Coding& coding,
                                                               bool preserve = false, const BatchCaps* caps = nullptr);

// The same by the per-cursor pass (multi.cpp): the reference the tables are
// held to item for item.
Expected<std::vector<Items>, EngineError> run_many_pass(const std::vector<const Program*>& programs, Bytes source,
                                                        bool emit_spans, bool unicode = false);
Expected<std::vector<Items>, EngineError> run_many_pass_in_element(const std::vector<const Program*>& programs,
                                                                   Bytes element, const Coding& coding,
                                                                   bool preserve = false);

// Which of the two run_many and run_many_in_element use: the tables, for
// inputs of at least QUELMAR_BATCH_MIN_BYTES. The automaton is made for each
// call (about 35,000 instructions for six paths, where the per-cursor pass
// needs none), and pays for itself from some tens of KB of document on.
#ifndef QUELMAR_BATCH_ENGINE
#define QUELMAR_BATCH_ENGINE 1
#endif
#ifndef QUELMAR_BATCH_MIN_BYTES
#define QUELMAR_BATCH_MIN_BYTES 32768
#endif
inline constexpr std::size_t kBatchMinBytes = QUELMAR_BATCH_MIN_BYTES;

}  // namespace quelmar::detail

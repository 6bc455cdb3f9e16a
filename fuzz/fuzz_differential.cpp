// Differential: the single-path engine (run_with, run_in_element) and the
// multi-path pass (run_many, run_many_in_element) must give the same items
// for the same path, on documents the validating reader reads without error.
//
// Left out, because the two engines differ there by design (the list of
// engine/engine.hpp):
// - paths whose first step is @attr or #text (the multi-path pass has no
//   element to take them from at the top of a document);
// - ambiguity raised by empty-element tags: the single-path engine counts
//   them, the multi-path pass does not. On a document with an empty-element
//   tag the pass is held to the single-path engine under that one rule
//   (run_with_many_rules, run_in_element_many_rules): outcomes and items
//   must agree exactly, so an empty element that ends a level too early
//   (an index hit whose rest yields nothing) is caught;
// - documents with an XML declaration after the first element (see
//   shape_of);
// - captures stored as text (ResultHint::Texts) and count placeholders
//   (ResultHint::Placeholders): those items are compared by their text only.
// Every batch run_many or run_many_in_element is given is also run by the
// per-cursor pass the batch automaton replaces: outcome, error and every item
// (kind, bytes, offsets, scope) must be the same, on any input.
// validate() runs on every document too: a well-formed document is one the
// validating reader reads without error.
//
// On every other document (damaged, truncated, arbitrary bytes) batch
// independence holds under the same differences: a path's answer in one
// pass with all the others equals its answer alone (run_with, or
// run_with_many_rules where an empty-element tag is read), and the pass
// fails exactly when some path fails alone; the same relative to an
// element. A damaged element ends in the same place whether a pass enters
// it for some path or skips it.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/batch.hpp"
#include "engine/validate.hpp"
#include "fuzz_common.hpp"
#include "path/compile.hpp"

using namespace quelmar;

namespace {

struct DocShape {
    bool clean = false;       // no reader error, every element closed
    bool late_decl = false;   // a declaration after the first element
    bool has_empty = false;   // an empty-element tag
};

// A declaration after the first element switches the encoding in
// mid-document: an element captured across it is decoded whole in the new
// encoding by one engine while the other has already read its first texts
// in the old one. Such documents are left out.
DocShape shape_of(Bytes doc) {
    // UTF-16 and ISO-2022-JP documents are read in their UTF-8 form, as the
    // engines and validate read them.
    std::string decoded;
    const bool transcoded = transcode_document(doc, decoded);
    DocShape s;
    Reader r(transcoded ? Bytes(decoded) : doc, ReaderConfig::validating());
    if (transcoded) r.fix_encoding(Encoding::Utf8);
    bool element_seen = false;
    for (;;) {
        const Event ev = r.read_event();
        switch (ev.kind) {
            case EventKind::Eof: s.clean = r.depth() == 0; return s;
            case EventKind::Error: return s;
            case EventKind::Decl: s.late_decl = s.late_decl || element_seen; break;
            case EventKind::Empty: s.has_empty = element_seen = true; break;
            case EventKind::Start: element_seen = true; break;
            default: break;
        }
    }
}

// The same facts as the engines read a document that may be damaged: every
// event of the engine's reader to the end of the input (errors included).
DocShape engine_shape(Bytes doc) {
    std::string decoded;
    const bool transcoded = transcode_document(doc, decoded);
    DocShape s;
    Reader r(transcoded ? Bytes(decoded) : doc);
    if (transcoded) r.fix_encoding(Encoding::Utf8);
    bool element_seen = false;
    for (;;) {
        const Event ev = r.read_event();
        switch (ev.kind) {
            case EventKind::Eof: return s;
            case EventKind::Decl: s.late_decl = s.late_decl || element_seen; break;
            case EventKind::Empty: s.has_empty = element_seen = true; break;
            case EventKind::Start: element_seen = true; break;
            default: break;
        }
    }
}

// A name usable in a path as it stands: no path syntax, no white space.
bool plain_name(Bytes name) {
    if (name.empty() || name.size() > 16) return false;
    for (const char c : name)
        if (static_cast<unsigned char>(c) <= ' ' || Bytes(".*?#@|\\()'\"!=<>%").find(c) != Bytes::npos) return false;
    return true;
}

// Index hits on empty-element tags: for the first two empty elements E, the
// path of names down to E's parent P, then "E.K" with K the index of E
// among P's E children, followed by an attribute that is missing, one that
// may be there, a child element (none: it is empty) and #text. Every level
// above is single-valued, so the rest yielding nothing must not end the
// search (a later sibling of an ancestor can still make the path ambiguous).
void empty_index_paths(Bytes doc, std::vector<std::string>& out) {
    struct Frame {
        std::string path;  // names from the root down to this element
        bool plain = true;
        std::vector<std::pair<std::string, std::size_t>> counts;  // children seen by name
        std::size_t next(const std::string& name) {
            for (auto& [n, k] : counts)
                if (n == name) return k++;
            counts.emplace_back(name, 1);
            return 0;
        }
    };
    std::vector<Frame> stack(1);
    Reader r(doc);
    std::size_t found = 0;
    for (std::size_t events = 0; found < 2 && events < 256 && stack.size() < 12; ++events) {
        const Event ev = r.read_event();
        if (ev.kind == EventKind::Eof) break;
        if (ev.kind == EventKind::End && stack.size() > 1) stack.pop_back();
        if (ev.kind != EventKind::Start && ev.kind != EventKind::Empty) continue;
        const std::string n(ev.name());
        Frame& top = stack.back();
        const std::size_t k = top.next(n);
        const bool plain = top.plain && plain_name(n);
        const std::string here = top.path.empty() ? n : top.path + "." + n;
        if (ev.kind == EventKind::Start) {
            Frame f;
            f.path = here;
            f.plain = plain;
            stack.push_back(std::move(f));
            continue;
        }
        if (!plain || stack.size() < 2) continue;  // a top-level empty element has nothing around it
        ++found;
        const std::string hit = here + "." + std::to_string(k);
        for (const char* tail : {".@zz", ".@x", ".c", ".#text"}) out.push_back(hit + tail);
    }
}

// "**.N", "R.**.N" and "**.N|@first" for the first three distinct element
// names N (R the first of them), "R.*.#", and the index hits on empty
// elements of empty_index_paths.
std::vector<std::string> companion_paths(Bytes doc) {
    std::vector<std::string> names;
    Reader r(doc);
    for (std::size_t events = 0; names.size() < 3 && events < 64; ++events) {
        const Event ev = r.read_event();
        if (ev.kind == EventKind::Eof) break;
        if (ev.kind != EventKind::Start && ev.kind != EventKind::Empty) continue;
        const std::string n(ev.name());
        if (plain_name(n) && std::find(names.begin(), names.end(), n) == names.end()) names.push_back(n);
    }
    std::vector<std::string> out;
    if (names.empty()) return out;
    for (const std::string& n : names) {
        out.push_back("**." + n);
        out.push_back(names[0] + ".**." + n);
        out.push_back("**." + n + "|@first");
    }
    out.push_back(names[0] + ".*.#");
    empty_index_paths(doc, out);
    return out;
}

void same_batch(const std::vector<Items>& a, const std::vector<Items>& b, Bytes source) {
    FUZZ_ASSERT(a.size() == b.size());
    for (std::size_t k = 0; k < a.size(); ++k) {
        if (a[k].size() != b[k].size()) {
            __builtin_fprintf(stderr, "program %zu: item counts differ: tables %zu, pass %zu\n", k, a[k].size(),
                              b[k].size());
            std::abort();
        }
        for (std::size_t i = 0; i < a[k].size(); ++i) {
            const Item& x = a[k][i];
            const Item& y = b[k][i];
            if (item_text(x, source) != item_text(y, source))
                __builtin_fprintf(stderr, "program %zu item %zu: \"%s\" / \"%s\"\n", k, i,
                                  item_text(x, source).c_str(), item_text(y, source).c_str());
            FUZZ_ASSERT(x.kind == y.kind && x.bytes == y.bytes && x.start == y.start && x.end == y.end);
            FUZZ_ASSERT(x.preserve == y.preserve && x.encoding == y.encoding);
        }
    }
}

// Caps small enough that the fuzzed batches run past them: rows worked out
// for the tag at hand, states that live as long as their level.
constexpr detail::BatchCaps kTinyCaps{2, 3, 2, 8};

void same_outcome(const Expected<std::vector<Items>, EngineError>& a, const Expected<std::vector<Items>, EngineError>& b,
                  Bytes source) {
    FUZZ_ASSERT(a.ok() == b.ok());
    if (!a.ok()) FUZZ_ASSERT(a.error().message() == b.error().message());
    else same_batch(a.value(), b.value(), source);
}

// run_many by the tables (with their caps and with tiny ones), held to the
// per-cursor pass.
Expected<std::vector<Items>, EngineError> many_checked(const std::vector<const Program*>& programs, Bytes doc) {
    auto tables = detail::run_batch(programs, doc, false);
    same_outcome(tables, detail::run_many_pass(programs, doc, false), doc);
    same_outcome(detail::run_batch(programs, doc, false, false, &kTinyCaps), tables, doc);
    return tables;
}
Expected<std::vector<Items>, EngineError> many_checked_rel(const std::vector<const Program*>& programs, Bytes elem,
                                                           Encoding enc) {
    auto tables = detail::run_batch_in_element(programs, elem, enc);
    same_outcome(tables, detail::run_many_pass_in_element(programs, elem, enc), elem);
    same_outcome(detail::run_batch_in_element(programs, elem, enc, false, &kTinyCaps), tables, elem);
    return tables;
}

void same_items(const Program& prog, const Items& one, const Items& many, Bytes source) {
    if (one.size() != many.size()) {
        __builtin_fprintf(stderr, "item counts differ: single %zu, multi %zu\n", one.size(), many.size());
        std::abort();
    }
    for (std::size_t i = 0; i < one.size(); ++i) {
        const std::string a = item_text(one[i], source);
        const std::string b = item_text(many[i], source);
        if (a != b) {
            __builtin_fprintf(stderr, "item %zu text differs: single \"%s\", multi \"%s\"\n", i, a.c_str(), b.c_str());
            std::abort();
        }
        if (prog.result_hint == ResultHint::Elements) {
            FUZZ_ASSERT(one[i].kind == many[i].kind);
            FUZZ_ASSERT(one[i].bytes == many[i].bytes);
            FUZZ_ASSERT(one[i].start == many[i].start && one[i].end == many[i].end);
        }
    }
}

void check_pair(const Program& prog, const Expected<Items, EngineError>& one,
                const Expected<std::vector<Items>, EngineError>& many, std::size_t index, Bytes source) {
    if (one.ok() != many.ok()) {
        __builtin_fprintf(stderr, "outcomes differ: single %s, multi %s\n", one.ok() ? "ok" : one.error().message().c_str(),
                          many.ok() ? "ok" : many.error().message().c_str());
        std::abort();
    }
    if (!one.ok()) return;
    same_items(prog, one.value(), many.value()[index], source);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const fuzz::QueryInput in = fuzz::split_query_input(data, size, 4);
    const Bytes doc = in.document;
    const DocShape shape = shape_of(doc);
    if (validate(doc)) FUZZ_ASSERT(shape.clean);
    const bool damaged = !shape.clean;
    const DocShape read = damaged ? engine_shape(doc) : shape;
    const bool late_decl = read.late_decl;
    const bool has_empty = read.has_empty;

    // Relative to an element, @attr and #text first steps read the element
    // itself in both engines; over a whole document they are left out.
    std::vector<ProgramPtr> owned;
    std::vector<const Program*> programs, programs_rel;
    for (Bytes p : in.paths) {
        auto prog = compile_path_uncached(p);
        if (!prog) continue;
        owned.push_back(prog.value());
        programs_rel.push_back(owned.back().get());
        if (owned.back()->steps[0].is_element()) programs.push_back(owned.back().get());
    }
    if (programs_rel.empty()) return 0;
    // Relative queries run over element bytes the way the Result layer
    // holds them: a document the engines transcode is held in its UTF-8 form.
    const fuzz::ElementInput el = fuzz::element_input(doc);
    const Bytes elem = el.bytes();
    const Encoding enc = el.encoding;

    // Companion paths built from the document's own names join the fuzzed
    // ones, so that every pass mixes descendant searches, first-item stops
    // and wildcards with whatever the input asks for.
    for (const std::string& text : companion_paths(elem)) {
        auto prog = compile_path_uncached(text);
        if (!prog) continue;
        owned.push_back(prog.value());
        programs.push_back(owned.back().get());
        programs_rel.push_back(owned.back().get());
    }

    if (late_decl) {
        if (!programs.empty()) (void)many_checked(programs, doc);
        (void)many_checked_rel(programs_rel, elem, enc);
        return 0;
    }

    // The single-path answers the pass must give: on a document with an
    // empty-element tag, under the pass's own ambiguity rule.
    auto single = [&](const Program& prog) {
        return has_empty ? run_with_many_rules(prog, doc, false) : run_with(prog, doc, false);
    };
    auto single_rel = [&](const Program& prog) {
        return has_empty ? run_in_element_many_rules(prog, elem, enc) : run_in_element(prog, elem, enc);
    };
    if (damaged) {
        // Batch independence: the pass of all paths against each alone.
        bool ok = true, ok_rel = true;
        std::vector<Expected<Items, EngineError>> alone, alone_rel;
        for (const Program* prog : programs) ok = (alone.emplace_back(single(*prog))).ok() && ok;
        for (const Program* prog : programs_rel) ok_rel = (alone_rel.emplace_back(single_rel(*prog))).ok() && ok_rel;
        if (!programs.empty()) {
            auto many = many_checked(programs, doc);
            FUZZ_ASSERT(many.ok() == ok);
            if (ok)
                for (std::size_t i = 0; i < programs.size(); ++i)
                    same_items(*programs[i], alone[i].value(), many.value()[i], doc);
        }
        auto many_rel = many_checked_rel(programs_rel, elem, enc);
        FUZZ_ASSERT(many_rel.ok() == ok_rel);
        if (ok_rel)
            for (std::size_t i = 0; i < programs_rel.size(); ++i)
                same_items(*programs_rel[i], alone_rel[i].value(), many_rel.value()[i], elem);
        return 0;
    }
    bool all_ok = true, all_ok_rel = true;
    for (const Program* prog : programs) {
        auto one = single(*prog);
        check_pair(*prog, one, many_checked({prog}, doc), 0, doc);
        all_ok = all_ok && one.ok();
        // The rule only takes errors away.
        if (has_empty && one.ok()) {
            auto strict = run_with(*prog, doc, false);
            if (strict.ok()) same_items(*prog, strict.value(), one.value(), doc);
        }
    }
    for (const Program* prog : programs_rel) {
        auto one_rel = single_rel(*prog);
        check_pair(*prog, one_rel, many_checked_rel({prog}, elem, enc), 0, elem);
        all_ok_rel = all_ok_rel && one_rel.ok();
    }
    // All paths in one pass give what each gives alone.
    if (!programs.empty()) {
        auto many = many_checked(programs, doc);
        if (all_ok) {
            FUZZ_ASSERT(many.ok());
            for (std::size_t i = 0; i < programs.size(); ++i)
                same_items(*programs[i], single(*programs[i]).value(), many.value()[i], doc);
        }
    }
    {
        auto many = many_checked_rel(programs_rel, elem, enc);
        if (all_ok_rel) {
            FUZZ_ASSERT(many.ok());
            for (std::size_t i = 0; i < programs_rel.size(); ++i)
                same_items(*programs_rel[i], single_rel(*programs_rel[i]).value(), many.value()[i], elem);
        }
    }
    return 0;
}

// Queries: up to eight paths and a document (layout in fuzz_common.hpp),
// through the single-path engine and the multi-path pass, over the whole
// document (with and without span output) and relative to the document's
// first element, as Result.get and Result.get_many evaluate them. Every
// item is then read the way the Result layer reads it.
#include <cstdint>
#include <vector>

#include "fuzz_common.hpp"
#include "path/compile.hpp"

using namespace quelmar;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const fuzz::QueryInput in = fuzz::split_query_input(data, size, 8);
    std::vector<ProgramPtr> compiled;
    std::vector<const Program*> programs;
    for (Bytes p : in.paths) {
        auto prog = compile_path_uncached(p);
        if (!prog) continue;
        compiled.push_back(prog.value());
        programs.push_back(compiled.back().get());
    }
    if (programs.empty()) return 0;
    const Bytes doc = in.document;
    // Relative queries run over element bytes the way the Result layer
    // holds them: a document the engines transcode is held in its UTF-8 form.
    const fuzz::ElementInput el = fuzz::element_input(doc);
    const Bytes elem = el.bytes();
    const Encoding enc = el.encoding;

    for (const Program* prog : programs) {
        auto copies = run_with(*prog, doc, false);
        auto views = run_with(*prog, doc, true);
        FUZZ_ASSERT(copies.ok() == views.ok());
        if (copies) {
            fuzz::check_items(copies.value(), doc, false);
            fuzz::check_items(views.value(), doc, true);
            fuzz::same_but_spans(copies.value(), views.value(), doc);
        } else {
            (void)copies.error().message();
        }
        auto rel = run_in_element(*prog, elem, enc);
        if (rel) fuzz::check_items(rel.value(), elem, false);
        // Raw bytes with the document's own encoding must be safe too.
        auto raw = run_in_element(*prog, doc, document_encoding(doc));
        if (raw) fuzz::check_items(raw.value(), doc, false);
    }
    auto owned = run_many(programs, doc, false);
    auto spans = run_many(programs, doc, true);
    FUZZ_ASSERT(owned.ok() == spans.ok());
    if (owned) {
        FUZZ_ASSERT(owned.value().size() == programs.size() && spans.value().size() == programs.size());
        for (std::size_t i = 0; i < programs.size(); ++i) {
            fuzz::check_items(owned.value()[i], doc, false);
            fuzz::check_items(spans.value()[i], doc, true);
            fuzz::same_but_spans(owned.value()[i], spans.value()[i], doc);
        }
    }
    auto rel_many = run_many_in_element(programs, elem, enc);
    if (rel_many) {
        FUZZ_ASSERT(rel_many.value().size() == programs.size());
        for (const Items& items : rel_many.value()) fuzz::check_items(items, elem, false);
    }
    return 0;
}

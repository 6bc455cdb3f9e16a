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
    std::vector<ProgramPtr> owned;
    std::vector<const Program*> programs;
    for (Bytes p : in.paths) {
        auto prog = compile_path_uncached(p);
        if (!prog) continue;
        owned.push_back(prog.value());
        programs.push_back(owned.back().get());
    }
    if (programs.empty()) return 0;
    const Bytes doc = in.document;
    const Encoding enc = document_encoding(doc);

    for (const Program* prog : programs) {
        for (bool spans : {false, true}) {
            auto r = run_with(*prog, doc, spans);
            if (r) fuzz::check_items(r.value(), doc, spans);
            else (void)r.error().message();
        }
        auto rel = run_in_element(*prog, doc, enc);
        if (rel) fuzz::check_items(rel.value(), doc, false);
    }
    for (bool spans : {false, true}) {
        auto m = run_many(programs, doc, spans);
        if (m) {
            FUZZ_ASSERT(m.value().size() == programs.size());
            for (const Items& items : m.value()) fuzz::check_items(items, doc, spans);
        }
    }
    auto rel_many = run_many_in_element(programs, doc, enc);
    if (rel_many) {
        FUZZ_ASSERT(rel_many.value().size() == programs.size());
        for (const Items& items : rel_many.value()) fuzz::check_items(items, doc, false);
    }
    return 0;
}

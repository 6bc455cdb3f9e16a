// The path compiler over arbitrary text, and the text helpers it leans on
// (quoted form, number grammar, white-space trimming, glob matching).
//
// Invariants: a compiled Program has at least one step; Attribute and Text
// steps come only last; filters nest only as deep as the compiler allows;
// a failure message carries the path echo; the cached and uncached
// compilations agree. Each compiled program then runs over a small fixed
// document through both engines so that odd programs reach the engine too.
#include <cstdint>
#include <string>

#include "common/text.hpp"
#include "common/utf8.hpp"
#include "fuzz_common.hpp"
#include "path/compile.hpp"

using namespace quelmar;

namespace {

constexpr char kDoc[] =
    "<?xml version=\"1.0\"?><shop a=\"1\" b='x&amp;y'><book id=\"1\"><title>A</title><price>12.5</price>"
    "</book><book id=\"2\"><title>B</title><price>7</price><tag/><tag>t</tag></book><x:book><title>C"
    "</title></x:book><empty/><n>3</n><n>-1</n><n>x</n></shop>";

void check_steps(const std::vector<Step>& steps, int depth) {
    FUZZ_ASSERT(depth < 64);
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const Step& s = steps[i];
        if (!s.is_element()) FUZZ_ASSERT(i + 1 == steps.size());
        if (s.is_element() && (s.selector.kind == Selector::Kind::Filter || s.selector.kind == Selector::Kind::FilterAll)) {
            FUZZ_ASSERT(s.selector.filter != nullptr);
            check_steps(s.selector.filter->path, depth + 1);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Bytes text(reinterpret_cast<const char*>(data), size);

    auto uncached = compile_path_uncached(text);
    auto cached = compile_path(text);
    FUZZ_ASSERT(uncached.ok() == cached.ok());
    if (!uncached) {
        FUZZ_ASSERT(uncached.error() == cached.error());
        FUZZ_ASSERT(uncached.error().find("\n  in path: \"") != std::string::npos);
    } else {
        const Program& prog = *uncached.value();
        FUZZ_ASSERT(!prog.steps.empty());
        FUZZ_ASSERT(static_cast<int>(prog.result_hint) <= 2);
        FUZZ_ASSERT(cached.value()->steps.size() == prog.steps.size());
        FUZZ_ASSERT(cached.value()->modifiers == prog.modifiers);
        check_steps(prog.steps, 0);
        const Bytes doc(kDoc, sizeof kDoc - 1);
        for (bool spans : {false, true}) {
            auto one = run_with(prog, doc, spans);
            if (one) fuzz::check_items(one.value(), doc, spans);
        }
        auto many = run_many({&prog, &prog}, doc, false);
        if (many) for (const Items& items : many.value()) fuzz::check_items(items, doc, false);
        const Bytes element = doc.substr(doc.find("<shop"));
        auto rel = run_in_element(prog, element, Encoding::Utf8);
        if (rel) fuzz::check_items(rel.value(), element, false);
        auto rel_many = run_many_in_element({&prog}, element, Encoding::Utf8);
        if (rel_many) fuzz::check_items(rel_many.value()[0], element, false);
    }

    // The helpers over the same bytes.
    (void)quoted_form(text);
    (void)parse_decimal_float(trim_unicode_ws(text));
    (void)parse_decimal_int(text);
    const std::size_t half = size / 2;
    (void)glob_match(text.substr(0, half), text.substr(half));
    (void)NameMatcher::parse(text.substr(0, half)).matches_whole(text.substr(half));
    return 0;
}

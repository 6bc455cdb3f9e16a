// A plain driver for profilers: runs one path (or several in one pass) over
// one document N times, without Python. QUELMAR_PROFILE_MANY=1 runs a single
// path through the multi-path pass too; QUELMAR_PROFILE_REFERENCE=1 runs the
// per-cursor pass in its place (the reference the batch automaton is held to).
//   quelmar_profile FILE REPS PATH [PATH...]
//   valgrind --tool=callgrind quelmar_profile bench/data/catalog-10MB.xml 1 'catalog.book.#.title'
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common.hpp"
#include "engine/batch.hpp"
#include "engine/engine.hpp"
#include "path/compile.hpp"

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s FILE REPS PATH [PATH...]\n", argv[0]);
        return 2;
    }
    const std::string doc = bench::read_file(argv[1]);
    const long reps = std::atol(argv[2]);
    std::vector<quelmar::ProgramPtr> progs;
    for (int i = 3; i < argc; ++i) {
        auto p = quelmar::compile_path_uncached(argv[i]);
        if (!p) {
            std::fprintf(stderr, "%s\n", p.error().c_str());
            return 2;
        }
        progs.push_back(p.value());
    }
    std::vector<const quelmar::Program*> raw;
    for (const auto& p : progs) raw.push_back(p.get());
    std::size_t items = 0;
    const auto t0 = std::chrono::steady_clock::now();
    for (long r = 0; r < reps; ++r) {
        if (raw.size() == 1 && !std::getenv("QUELMAR_PROFILE_MANY")) {
            auto res = quelmar::run_with(*raw[0], quelmar::Bytes(doc), true);
            items = res ? res.value().size() : 0;
        } else if (std::getenv("QUELMAR_PROFILE_REFERENCE")) {
            auto res = quelmar::detail::run_many_pass(raw, quelmar::Bytes(doc), true);
            items = res ? res.value().size() : 0;
        } else {
            auto res = quelmar::run_many(raw, quelmar::Bytes(doc), true);
            items = res ? res.value().size() : 0;
        }
    }
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf("%zu items; %.3f ms per run; %.0f MB/s\n", items, s / static_cast<double>(reps) * 1e3,
                static_cast<double>(doc.size()) * static_cast<double>(reps) / s / 1e6);
    return 0;
}

// Google Benchmark of the C++ core against pugixml and the memchr floor,
// over the documents of bench/generate.py (bench/data/{catalog,deep}-NMB.xml).
//   QUELMAR_BENCH_SIZES=1,10,100  (default) the sizes to run; missing files are skipped
//   QUELMAR_BENCH_DATA=dir        where the documents are (default: bench/data)
//
// Names: quelmar/<path>/<N>MB (run_with, spans on, items dropped),
// quelmar_many/{six,ten}/<N>MB (run_many), pugixml/<path>/<N>MB (parse +
// XPath + free), pugixml_parse/<shape>/<N>MB, memchr_count/<shape>/<N>MB
// (count '<'), memchr_walk/<shape>/<N>MB ('<' then '>' for every tag) and
// byte_loop/<shape>/<N>MB (the same walk one byte at a time). Times are CPU
// time (the default): the machine is shared, and wall time would also count
// other processes holding the CPU.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <pugixml.hpp>

#include "common.hpp"
#include "engine/engine.hpp"
#include "path/compile.hpp"

namespace {

using quelmar::Bytes;

std::map<std::string, std::string>& documents() {
    static std::map<std::string, std::string> docs;
    return docs;
}

void set_bytes(benchmark::State& state, std::size_t n) {
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(n));
}

quelmar::ProgramPtr compile_or_die(const std::string& path) {
    auto p = quelmar::compile_path_uncached(path);
    if (!p) {
        std::fprintf(stderr, "cannot compile %s: %s\n", path.c_str(), p.error().c_str());
        std::exit(2);
    }
    return p.value();
}

std::size_t memchr_count(const std::string& doc) {
    const char* p = doc.data();
    const char* end = p + doc.size();
    std::size_t n = 0;
    while (const void* hit = std::memchr(p, '<', static_cast<std::size_t>(end - p))) {
        ++n;
        p = static_cast<const char*>(hit) + 1;
    }
    return n;
}

std::size_t memchr_walk(const std::string& doc) {
    const char* p = doc.data();
    const char* end = p + doc.size();
    std::size_t n = 0;
    while (p < end) {
        const void* lt = std::memchr(p, '<', static_cast<std::size_t>(end - p));
        if (!lt) break;
        const char* q = static_cast<const char*>(lt) + 1;
        const void* gt = std::memchr(q, '>', static_cast<std::size_t>(end - q));
        if (!gt) break;
        ++n;
        p = static_cast<const char*>(gt) + 1;
    }
    return n;
}

// The walk of memchr_walk one byte at a time (kept scalar on purpose).
__attribute__((optimize("no-tree-vectorize"))) std::size_t byte_loop(const std::string& doc) {
    std::size_t n = 0;
    bool in_tag = false;
    for (const char c : doc) {
        if (!in_tag) {
            if (c == '<') in_tag = true;
        } else if (c == '>') {
            in_tag = false;
            ++n;
        }
    }
    return n;
}

// The answer's size: items for quelmar, nodes (or the number) for pugixml.
double quelmar_answer(const quelmar::Items& items, bool number) {
    if (!number) return static_cast<double>(items.size());
    return items.empty() ? NAN : std::strtod(items[0].bytes.c_str(), nullptr);
}

void register_size(const std::string& label) {
    const char* data_dir = std::getenv("QUELMAR_BENCH_DATA");
    const std::string dir = data_dir ? data_dir : QUELMAR_BENCH_DATA;
    for (const char* shape : {"catalog", "deep"}) {
        std::string doc = bench::read_file(dir + "/" + shape + "-" + label + ".xml");
        if (doc.empty()) {
            std::fprintf(stderr, "skipping %s-%s: run bench/generate.py --sizes ...\n", shape, label.c_str());
            continue;
        }
        documents()[std::string(shape) + label] = std::move(doc);
    }
    for (const char* shape : {"catalog", "deep"}) {
        auto it = documents().find(std::string(shape) + label);
        if (it == documents().end()) continue;
        const std::string* doc = &it->second;
        const std::string suffix = std::string(shape) + "/" + label;
        benchmark::RegisterBenchmark(("memchr_count/" + suffix).c_str(), [doc](benchmark::State& st) {
            for (auto _ : st) benchmark::DoNotOptimize(memchr_count(*doc));
            set_bytes(st, doc->size());
        })->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("memchr_walk/" + suffix).c_str(), [doc](benchmark::State& st) {
            for (auto _ : st) benchmark::DoNotOptimize(memchr_walk(*doc));
            set_bytes(st, doc->size());
        })->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("byte_loop/" + suffix).c_str(), [doc](benchmark::State& st) {
            for (auto _ : st) benchmark::DoNotOptimize(byte_loop(*doc));
            set_bytes(st, doc->size());
        })->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("pugixml_parse/" + suffix).c_str(), [doc](benchmark::State& st) {
            for (auto _ : st) {
                pugi::xml_document d;
                benchmark::DoNotOptimize(d.load_buffer(doc->data(), doc->size()).status);
            }
            set_bytes(st, doc->size());
        })->Unit(benchmark::kMillisecond);
    }
    for (const bench::Query& q : bench::queries()) {
        auto it = documents().find(std::string(q.shape) + label);
        if (it == documents().end()) continue;
        const std::string* doc = &it->second;
        const std::string name = std::string(q.path) + "/" + label;
        auto prog = compile_or_die(q.path);
        auto xq = std::make_shared<pugi::xpath_query>(q.xpath);

        // Same answer size from both, once, before timing.
        auto items = quelmar::run_with(*prog, Bytes(*doc), true);
        pugi::xml_document d;
        d.load_buffer(doc->data(), doc->size());
        const double want = q.number ? xq->evaluate_number(d) : static_cast<double>(xq->evaluate_node_set(d).size());
        const double got = items ? quelmar_answer(items.value(), q.number) : NAN;
        if (!(std::fabs(want - got) <= 1e-9 * std::fabs(want)))
            std::fprintf(stderr, "WARNING %s: quelmar %.17g, pugixml %.17g\n", name.c_str(), got, want);

        const bool number = q.number;
        benchmark::RegisterBenchmark(("quelmar/" + name).c_str(), [doc, prog](benchmark::State& st) {
            for (auto _ : st) {
                auto r = quelmar::run_with(*prog, Bytes(*doc), true);
                benchmark::DoNotOptimize(r);
            }
            set_bytes(st, doc->size());
        })->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("pugixml/" + name).c_str(), [doc, xq, number](benchmark::State& st) {
            for (auto _ : st) {
                pugi::xml_document dd;
                dd.load_buffer(doc->data(), doc->size());
                if (number) benchmark::DoNotOptimize(xq->evaluate_number(dd));
                else benchmark::DoNotOptimize(xq->evaluate_node_set(dd).size());
            }
            set_bytes(st, doc->size());
        })->Unit(benchmark::kMillisecond);
    }
    auto it = documents().find("catalog" + label);
    if (it == documents().end()) return;
    const std::string* doc = &it->second;
    for (auto [tag, paths] : {std::pair{"six", bench::catalog_six()}, std::pair{"ten", bench::catalog_ten()}}) {
        auto progs = std::make_shared<std::vector<quelmar::ProgramPtr>>();
        for (const std::string& p : paths) progs->push_back(compile_or_die(p));
        benchmark::RegisterBenchmark(("quelmar_many/" + std::string(tag) + "/" + label).c_str(),
                                     [doc, progs](benchmark::State& st) {
            std::vector<const quelmar::Program*> raw;
            for (const auto& p : *progs) raw.push_back(p.get());
            for (auto _ : st) {
                auto r = quelmar::run_many(raw, Bytes(*doc), true);
                benchmark::DoNotOptimize(r);
            }
            set_bytes(st, doc->size());
        })->Unit(benchmark::kMillisecond);
        for (std::size_t i = bench::catalog_six().size(); tag == std::string("ten") && i < paths.size(); ++i) {
            auto prog = compile_or_die(paths[i]);
            benchmark::RegisterBenchmark(("quelmar/" + paths[i] + "/" + label).c_str(), [doc, prog](benchmark::State& st) {
                for (auto _ : st) {
                    auto r = quelmar::run_with(*prog, Bytes(*doc), true);
                    benchmark::DoNotOptimize(r);
                }
                set_bytes(st, doc->size());
            })->Unit(benchmark::kMillisecond);
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    const char* env = std::getenv("QUELMAR_BENCH_SIZES");
    std::string sizes = env ? env : "1,10,100";
    std::size_t start = 0;
    while (start <= sizes.size()) {
        std::size_t comma = sizes.find(',', start);
        if (comma == std::string::npos) comma = sizes.size();
        if (comma > start) register_size(sizes.substr(start, comma - start) + "MB");
        start = comma + 1;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

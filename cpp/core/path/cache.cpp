// The per-thread path cache: exact text bytes -> shared Program.
//
// One map per thread, made on the thread's first compilation and destroyed
// (releasing its Program references) when the thread ends. Only successful
// compilations are stored. There is no per-entry eviction: a store that finds
// the map full empties it whole, which keeps hits free of bookkeeping at the
// price of recompiling everything after a clearing.
#include <string>
#include <unordered_map>

#include "common/hash.hpp"
#include "path/compile.hpp"

namespace quelmar {

namespace {

constexpr std::size_t kPathCacheCapacity = 512;

// Keyed (a path list may come from outside) and transparent, so a lookup
// uses the caller's bytes without copying them into a key.
struct TextEq {
    using is_transparent = void;
    bool operator()(Bytes a, Bytes b) const noexcept { return a == b; }
};

using PathCache = std::unordered_map<std::string, ProgramPtr, KeyedHash, TextEq>;

PathCache& path_cache() {
    thread_local PathCache cache;
    return cache;
}

}  // namespace

Expected<ProgramPtr, std::string> compile_path(Bytes text) {
    PathCache& cache = path_cache();
    // An empty cache skips even the hash.
    if (!cache.empty()) {
        auto it = cache.find(text);
        if (it != cache.end()) return it->second;
    }
    // The map is not touched while the compiler runs.
    auto prog = compile_path_uncached(text);
    if (!prog) return prog;
    if (cache.size() >= kPathCacheCapacity) cache.clear();  // keeps the bucket array
    cache.insert_or_assign(std::string(text), prog.value());
    return prog;
}

std::size_t path_cache_size() noexcept { return path_cache().size(); }

}  // namespace quelmar

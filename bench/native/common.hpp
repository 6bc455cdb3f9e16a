// Shared by the native benchmark and the profiling driver: the generated
// documents and the queries of bench/run.py.
#pragma once

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace bench {

struct Query {
    const char* path;   // quelmar path
    const char* shape;  // catalog | deep
    const char* xpath;  // the same question for pugixml
    bool number;        // the XPath yields a number (count, sum), not nodes
};

inline const std::vector<Query>& queries() {
    static const std::vector<Query> q = {
        {"catalog.book.0.title", "catalog", "/catalog/book[1]/title", false},
        {"catalog.book.#.title", "catalog", "/catalog/book/title", false},
        {"catalog.book.#", "catalog", "count(/catalog/book)", true},
        {"catalog.book.#(price>50)#.title", "catalog", "/catalog/book[price>50]/title", false},
        {"**.review", "catalog", "//review", false},
        {"catalog.book.#.price|@sum", "catalog", "sum(/catalog/book/price)", true},
        {"**.target", "deep", "//target", false},
        {"archive.section.#", "deep", "count(/archive/section)", true},
        {"**.target|@first", "deep", "(//target)[1]", false},
    };
    return q;
}

inline const std::vector<std::string>& catalog_six() {
    static const std::vector<std::string> v = {
        "catalog.book.0.title", "catalog.book.#.title", "catalog.book.#",
        "catalog.book.#(price>50)#.title", "**.review", "catalog.book.#.price|@sum"};
    return v;
}

inline std::vector<std::string> catalog_ten() {
    std::vector<std::string> v = catalog_six();
    for (const char* p : {"catalog.book.#.@id", "catalog.book.#.year|@max", "catalog.book.#.author",
                          "catalog.book.#.reviews.review|@count"})
        v.emplace_back(p);
    return v;
}

// The whole file, or "" when it cannot be read.
inline std::string read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    if (!f) return {};
    std::ostringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

}  // namespace bench

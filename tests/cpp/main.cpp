#include <cstdio>
#include <cstring>

#include "check.hpp"

int main(int argc, char** argv) {
    int ran = 0;
    for (auto& c : check::registry()) {
        if (argc > 1 && std::strstr(c.name, argv[1]) == nullptr) continue;
        int before = check::failures();
        c.fn();
        ++ran;
        if (check::failures() != before) std::fprintf(stderr, "FAILED: %s\n", c.name);
    }
    std::printf("%d test cases, %d failed checks\n", ran, check::failures());
    return check::failures() == 0 && ran > 0 ? 0 : 1;
}

#include "base/ZOTFatalError.h"

#include <cstdio>
#include <cstdlib>
#include <initializer_list>

void ZOTFatalError(const char* message, const char* detail1, const char* detail2,
                   const char* detail3, const char* path, int line) {
    std::fprintf(stderr, "Fatal error: %s", message != nullptr ? message : "(no message)");
    for (const char* detail : {detail1, detail2, detail3}) {
        if (detail != nullptr) {
            std::fprintf(stderr, " %s", detail);
        }
    }
    std::fprintf(stderr, " at %s line %d\n", path != nullptr ? path : "(unknown)", line);
    std::fflush(stderr);
    std::abort();
}

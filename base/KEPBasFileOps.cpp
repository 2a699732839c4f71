#include "base/KEPBasFileOps.h"

#include <cstring>

namespace {

// The mode letter that keeps a stream's descriptor from programs the process starts, as every
// other descriptor of the library is kept: close-on-exec (glibc), not inheritable (Windows).
#ifdef _WIN32
constexpr char kNotInherited = 'N';
#else
constexpr char kNotInherited = 'e';
#endif

}  // namespace

std::FILE* KEPBasFileOps::Fopen(const KEPString& path, const char* mode) {
    char privateMode[16] = {};
    if (mode == nullptr || path.GetLengthInByte() == 0 ||
        std::strlen(mode) + 1 >= sizeof privateMode) {
        return nullptr;
    }
    std::strcpy(privateMode, mode);
    privateMode[std::strlen(mode)] = kNotInherited;
    return std::fopen(path.GetUTF8(), privateMode);
}

#include "base/KEPBasFileOps.h"

std::FILE* KEPBasFileOps::Fopen(const KEPString& path, const char* mode) {
    if (mode == nullptr || path.GetLengthInByte() == 0) {
        return nullptr;
    }
    return std::fopen(path.GetUTF8(), mode);
}

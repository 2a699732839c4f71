// KEPBasFileOps: file opening for the base layer.
//
// Fopen hands out a plain C stream: the caller owns the FILE* and closes it with std::fclose.
// Stateless; any thread may call it.
#pragma once

#include <cstdio>

#include "base/KEPBasExport.h"
#include "base/KEPString.h"

class KEPBAS_API KEPBasFileOps {
  public:
    // std::fopen of the UTF-8 path with mode; null on failure. The stream's descriptor is not
    // inherited by programs the process starts.
    static std::FILE* Fopen(const KEPString& path, const char* mode);
};

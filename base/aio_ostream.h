// The error console stream.
//
// aio_cerr writes to standard error. Each call writes at once; flush() flushes the stream.
#pragma once

#include <cstdio>

#include "base/KEPBasExport.h"

class KEPBAS_API aio_ostream {
  public:
    explicit aio_ostream(std::FILE* file);
    aio_ostream& print(const char* text);
    aio_ostream& print_int(int number);
    aio_ostream& put(char character);
    aio_ostream& flush();

  private:
    std::FILE* m_file;
};

extern KEPBAS_API aio_ostream aio_cerr;

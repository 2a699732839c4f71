// Sleeping and elapsed time.
//
// KEPBasUtlsleep blocks only the calling thread and may be called from any thread. An omi_Timer
// is a plain value that owns nothing; it is not thread-safe: one thread starts, stops and reads
// it, or the callers synchronize.
#pragma once

#include <cstdint>

#include "base/KEPBasExport.h"

// Suspends the calling thread for at least that many milliseconds.
KEPBAS_API void KEPBasUtlsleep(unsigned milliseconds);

// Stopwatch on a monotonic clock. GetElapsedTime() is in seconds: the time since Start(), or
// between Start() and Stop() once stopped; 0 before Start().
class KEPBAS_API omi_Timer {
  public:
    omi_Timer();
    void Start();
    void Stop();
    double GetElapsedTime() const;

  private:
    std::int64_t m_startNs;
    std::int64_t m_stopNs;
    bool m_running;
};

// KEPMsgReconnectBackoff: the pauses of one reconnecting client between dials.
//
// The k-th pause since the last Reset() is min(max, min * 2^(k-1)) less a random part of up to
// jitter of it, and never below 1 ms (KEPMsgReconnectSettings gives the rule to hosts). The
// settings must be valid. Not thread-safe: one client's dialer thread owns it.
#pragma once

#include <cstdint>
#include <random>

#include "messaging/KEPMsgReconnectSettings.h"

class KEPMsgReconnectBackoff {
  public:
    KEPMsgReconnectBackoff(const KEPMsgReconnectSettings& settings, std::uint32_t seed);

    // The next pause in milliseconds.
    int NextDelayMs();
    // Starts again from the first pause (after a connection was made).
    void Reset() { m_ceilingMs = 0; }

  private:
    KEPMsgReconnectSettings m_settings;
    std::int64_t m_ceilingMs = 0;  // the last pause before jitter; 0 before the first
    std::minstd_rand m_random;
};

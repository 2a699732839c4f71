// KEPMsgReconnectSettings: the pacing of a reconnecting client's dials.
//
// After a lost connection or a failed dial the client pauses, then dials again. The k-th pause
// is min(m_maxDelayMs, m_minDelayMs * 2^(k-1)), less a random part of up to m_jitter of it (so
// that many clients of one server do not dial in step); a connection resets k. A dial that is
// not answered within m_connectTimeoutMs fails. Defaults: 100 ms, 5000 ms, 0.2, 5000 ms.
// A plain value.
#pragma once

#include "base/KEPBasExport.h"

struct KEPMSG_API KEPMsgReconnectSettings {
    int m_minDelayMs = 100;
    int m_maxDelayMs = 5000;
    double m_jitter = 0.2;
    int m_connectTimeoutMs = 5000;

    // True when the settings make sense: 1 <= m_minDelayMs <= m_maxDelayMs,
    // 0 <= m_jitter < 1, m_connectTimeoutMs >= 1.
    bool IsValid() const;
};

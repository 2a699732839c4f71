#include "messaging/KEPMsgReconnectSettings.h"

bool KEPMsgReconnectSettings::IsValid() const {
    // Written so that a NaN jitter fails too.
    return m_minDelayMs >= 1 && m_maxDelayMs >= m_minDelayMs && m_jitter >= 0.0 && m_jitter < 1.0 &&
           m_connectTimeoutMs >= 1;
}

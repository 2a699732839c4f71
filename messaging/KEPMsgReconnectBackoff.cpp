#include "messaging/KEPMsgReconnectBackoff.h"

#include <algorithm>

KEPMsgReconnectBackoff::KEPMsgReconnectBackoff(const KEPMsgReconnectSettings& settings,
                                               std::uint32_t seed)
    : m_settings(settings), m_random(seed) {}

int KEPMsgReconnectBackoff::NextDelayMs() {
    // 64-bit doubling stops at the maximum, so it cannot overflow.
    m_ceilingMs = m_ceilingMs == 0
                      ? m_settings.m_minDelayMs
                      : std::min<std::int64_t>(m_ceilingMs * 2, m_settings.m_maxDelayMs);
    const double fraction = m_settings.m_jitter > 0.0 ? std::uniform_real_distribution<double>(
                                                            0.0, m_settings.m_jitter)(m_random)
                                                      : 0.0;
    const auto delay =
        static_cast<std::int64_t>(static_cast<double>(m_ceilingMs) * (1.0 - fraction));
    return static_cast<int>(std::max<std::int64_t>(delay, 1));
}

#include "base/KEPBasTime.h"

#include <chrono>
#include <thread>

namespace {

std::int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

void KEPBasUtlsleep(unsigned milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

omi_Timer::omi_Timer() : m_startNs(0), m_stopNs(0), m_running(false) {}

void omi_Timer::Start() {
    m_startNs = NowNs();
    m_stopNs = m_startNs;
    m_running = true;
}

void omi_Timer::Stop() {
    if (m_running) {
        m_stopNs = NowNs();
        m_running = false;
    }
}

double omi_Timer::GetElapsedTime() const {
    const std::int64_t end = m_running ? NowNs() : m_stopNs;
    return static_cast<double>(end - m_startNs) / 1e9;
}

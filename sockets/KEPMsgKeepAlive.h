// KEPMsgKeepAlive: the process-wide TCP keep-alive setting of new connections.
//
// Unset (the default), connections keep the system's keep-alive behaviour: dialed ones switch
// keep-alive on with the system's times (KEPMsgCommSocket::Connect), accepted ones leave it off.
// Set, every connection dialed or accepted afterwards gets keep-alive on with the given idle
// time, probe interval and probe count, and the same total as its limit for unacknowledged data
// (TCP_USER_TIMEOUT), so a peer that vanishes without a FIN or RST is noticed within
// idle + interval * count seconds, whether the connection was idle or sending. The setting is one
// atomic word: any thread may change it while others connect.
#pragma once

#include <atomic>
#include <cstdint>

class KEPMsgKeepAlive {
  public:
    // Limits the platform accepts.
    static constexpr int kMaxSeconds = 32767;
    static constexpr int kMaxCount = 127;

    // Sets the three values; false, nothing changed, when one is outside 1..its limit.
    static bool Set(int idleSeconds, int intervalSeconds, int count);
    // Back to the system's behaviour.
    static void Clear();
    // Applies the setting, when there is one, to a connected descriptor (failures ignored, as
    // for the other optional socket options).
    static void Apply(int descriptor);

  private:
    // idle << 24 | interval << 8 | count; 0 when unset.
    static std::atomic<std::uint64_t> s_packed;
};

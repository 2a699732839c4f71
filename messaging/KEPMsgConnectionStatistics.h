// KEPMsgConnectionStatistics: what went through one connection, read in one call.
//
// Filled by KEPMsgSocketCommunicator::RetrieveConnectionStatistics for live connections and
// carried by every closed event (the connection's final figures). Bytes are counted as they
// cross the socket (headers included); a message counts once it was stored (in) or its header
// and body were written (out). A plain value: copies share nothing and need no lock.
#pragma once

#include <cstdint>

#include "base/KEPBasExport.h"
#include "base/KEPString.h"

class KEPMsgCommSocket;

struct KEPMSG_API KEPMsgConnectionStatistics {
    int m_socketId = -1;
    KEPString m_label;     // the channel's label ("" for an accepted connection until set)
    KEPString m_peerHost;  // numeric address of the peer ("" when unknown)
    int m_peerPort = 0;
    std::uint64_t m_messagesIn = 0;
    std::uint64_t m_messagesOut = 0;
    std::uint64_t m_bytesIn = 0;
    std::uint64_t m_bytesOut = 0;
    int m_recordsQueued = 0;  // queued records for it (0 in a closed event: they are dropped)
    int m_lastError = 0;      // the socket's last Winsock error code, 0 when none
    std::int64_t m_connectedSinceMs = 0;  // wall clock, milliseconds since the Unix epoch

    // Module-internal: the figures of socket, labelled label; m_recordsQueued is left 0.
    KEPMSG_INTERNAL static KEPMsgConnectionStatistics Of(const KEPMsgCommSocket& socket,
                                                         const KEPString& label);
};

#include "messaging/KEPMsgConnectionStatistics.h"

#include "sockets/KEPMsgCommSocket.h"

KEPMsgConnectionStatistics KEPMsgConnectionStatistics::Of(const KEPMsgCommSocket& socket,
                                                          const KEPString& label) {
    const KEPMsgConnectionCounters& counters = socket.Counters();
    KEPMsgConnectionStatistics statistics;
    statistics.m_socketId = socket.GetId();
    statistics.m_label = KEPString(label.GetUTF8());  // a fresh copy: shares nothing
    statistics.m_peerHost = KEPString(counters.PeerHost());
    statistics.m_peerPort = counters.PeerPort();
    statistics.m_messagesIn = counters.MessagesIn();
    statistics.m_messagesOut = counters.MessagesOut();
    statistics.m_bytesIn = counters.BytesIn();
    statistics.m_bytesOut = counters.BytesOut();
    statistics.m_lastError = socket.GetErrorCode();
    statistics.m_connectedSinceMs = counters.ConnectedSinceMs();
    return statistics;
}

#include "connection/KEPMsgBufferedOutputStream.h"

#include <algorithm>

#include "connection/KEPMsgLeasedSocketScope.h"
#include "connection/KEPMsgSocketLease.h"
#include "sockets/KEPMsgCommSocket.h"

KEPMsgBufferedOutputStream::KEPMsgBufferedOutputStream(int chunkSize)
    : m_chunkSize(chunkSize < 1 ? 1 : chunkSize) {}

KEPMsgBufferedOutputStream::~KEPMsgBufferedOutputStream() = default;

bool KEPMsgBufferedOutputStream::write(void* data, int length, int& written) {
    // The lease keeps the socket (and its descriptor) alive for the whole write, even if the
    // connection is removed by another thread meanwhile. Inside a transmit pass the pass holds
    // one already.
    KEPMsgSocketLease lease;
    KEPMsgCommSocket* const socket = KEPMsgLeasedSocketScope::FindOrLease(GetSocketId(), lease);
    if (socket == nullptr) {
        return false;
    }
    if (length < 1) {
        return true;
    }
    const char* next = static_cast<const char*>(data);
    int remaining = length;
    while (remaining > 0) {
        int count = socket->write(next, std::min(remaining, m_chunkSize));
        if (count < 0) {
            return false;
        }
        if (count == 0) {
            return false;  // no progress is possible; looping would never end
        }
        written += count;
        next += count;
        remaining -= count;
    }
    return true;
}

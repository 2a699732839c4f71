#include "connection/KEPMsgSimpleInputStream.h"

#include "connection/KEPMsgLeasedSocketScope.h"
#include "connection/KEPMsgSocketLease.h"
#include "sockets/KEPMsgCommSocket.h"

KEPMsgSimpleInputStream::KEPMsgSimpleInputStream() = default;

KEPMsgSimpleInputStream::~KEPMsgSimpleInputStream() = default;

bool KEPMsgSimpleInputStream::read(void* buffer, int length, int& got) {
    // Leased for the read, unless the running receive pass holds a lease on it already.
    KEPMsgSocketLease lease;
    KEPMsgCommSocket* const socket = KEPMsgLeasedSocketScope::FindOrLease(GetSocketId(), lease);
    if (socket == nullptr) {
        return false;
    }
    int count = socket->read(static_cast<char*>(buffer), length);
    if (count < 0) {
        return false;
    }
    got = count;
    return true;
}

#include "connection/KEPMsgSimpleInputStream.h"

#include "connection/KEPMsgConnectionServicesUtils.h"
#include "sockets/KEPMsgCommSocket.h"

KEPMsgSimpleInputStream::KEPMsgSimpleInputStream() = default;

KEPMsgSimpleInputStream::~KEPMsgSimpleInputStream() = default;

bool KEPMsgSimpleInputStream::read(void* buffer, int length, int& got) {
    KEPMsgSocketLease lease = KEPMsgConnectionServicesUtils::Instance().LeaseSocket(GetSocketId());
    auto* socket = dynamic_cast<KEPMsgCommSocket*>(lease.get());
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

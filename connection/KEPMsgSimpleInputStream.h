// KEPMsgSimpleInputStream: input stream that reads a message body from a connection with one
// receive per call.
//
// The stream carries only the socket id of its current connection; the library sets it before
// every use. The socket is looked up and leased for the duration of one read (inside a receive
// pass, the pass's lease serves; see KEPMsgLeasedSocketScope). A body reader
// loops until it has its bytes and takes true with got == 0 as the peer's close. The stream
// belongs to the host; it must not be used for two connections at once.
#pragma once

#include "base/KEPBasExport.h"
#include "base/KEPBasStream.h"

class KEPMSG_API KEPMsgSimpleInputStream : public KEPBasInputStream {
  public:
    // Socket id -1.
    KEPMsgSimpleInputStream();
    virtual ~KEPMsgSimpleInputStream();

    // One receive of at most length bytes into buffer; got = the count (0: the peer closed).
    // False, got unchanged, when the id has no connected socket or the receive fails.
    bool read(void* buffer, int length, int& got) override;
};

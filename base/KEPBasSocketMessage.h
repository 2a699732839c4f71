// KEPBasSocketMessage: base class of every message the host sends and receives.
//
// A message names its type and writes and reads its own body; on the wire the body follows the
// header that names the type, with no length of its own, so ReadBody must read exactly the bytes
// that WriteBody of the same type writes. The library never copies a message; it deletes one
// only when it made the message for an incoming header and cannot hand it out.
//
// Calling context: CreateInstance runs under the connection-services mutex, WriteBody and
// GetMessageType in a transmit pass under the send-buffer mutex, GetMessageType in a query by
// type under the retrieve-buffer mutex, ReadBody under the communicator mutex. None of them may
// call library operations that take the mutex already held.
#pragma once

#include "base/KEPBasExport.h"
#include "base/KEPBasStream.h"
#include "base/KEPString.h"
#include "base/mem_Allocation.h"

class KEPBAS_API KEPBasSocketMessage : public mem_AllocationOperators {
  public:
    // Writes the whole body through stream->write. True on success; false makes the library
    // drop the connection.
    virtual bool WriteBody(KEPBasOutputStream* stream) = 0;
    // Reads the body written by WriteBody through stream->read, looping over partial reads and
    // treating true with 0 bytes as the end of the connection. The result is not used.
    virtual bool ReadBody(KEPBasInputStream* stream) = 0;
    // A new, independent message of this message's type, owned by the caller.
    virtual KEPBasSocketMessage* CreateInstance() = 0;
    // The type name; the same on every call, equal byte for byte to the name under which the
    // receiving side registered its prototype.
    virtual KEPString GetMessageType() = 0;
    virtual ~KEPBasSocketMessage() {}
};

// Stream interfaces through which a message writes and reads its body.
//
// A stream carries the socket id of the connection it writes to or reads from. The library sets
// the id before it hands the stream to a message, so one stream object serves every connection
// in turn; a stream must not be used for two connections at once. Streams belong to the host.
#pragma once

#include "base/KEPBasExport.h"
#include "base/mem_Allocation.h"

class KEPBAS_API KEPBasStream : public mem_AllocationOperators {
  public:
    explicit KEPBasStream(int socketId) : m_socketId(socketId) {}
    int GetSocketId() const { return m_socketId; }
    void SetSocketId(int socketId) { m_socketId = socketId; }

  protected:
    ~KEPBasStream() = default;

  private:
    int m_socketId;
};

class KEPBAS_API KEPBasOutputStream : public KEPBasStream {
  public:
    KEPBasOutputStream() : KEPBasStream(-1) {}
    // Writes length bytes of data and adds the number of bytes sent to written (never resets
    // it). True when every byte went out.
    virtual bool write(void* data, int length, int& written) = 0;

  protected:
    ~KEPBasOutputStream() = default;
};

class KEPBAS_API KEPBasInputStream : public KEPBasStream {
  public:
    KEPBasInputStream() : KEPBasStream(-1) {}
    // Receives at most length bytes into buffer and sets got to their number. True with got == 0
    // means the peer has closed the connection; false means the read failed.
    virtual bool read(void* buffer, int length, int& got) = 0;

  protected:
    ~KEPBasInputStream() = default;
};

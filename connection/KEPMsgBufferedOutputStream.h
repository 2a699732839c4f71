// KEPMsgBufferedOutputStream: output stream that writes a message body to a connection in
// bounded pieces.
//
// Each write sends the data with sends of at most the chunk size. The stream carries only the
// socket id of its current connection; the library sets it before every use, so one stream
// serves every connection in turn. The socket is looked up and leased for the duration of one
// write, so a concurrent removal of the connection cannot pull it away mid-write (inside a
// transmit pass, the pass's lease serves; see KEPMsgLeasedSocketScope). The stream
// belongs to the host; it must not be used for two connections at once.
#pragma once

#include "base/KEPBasExport.h"
#include "base/KEPBasStream.h"

class KEPMSG_API KEPMsgBufferedOutputStream : public KEPBasOutputStream {
  public:
    // Socket id -1; chunkSize below 1 is taken as 1.
    explicit KEPMsgBufferedOutputStream(int chunkSize);
    virtual ~KEPMsgBufferedOutputStream();

    // Sends length bytes of data in pieces of at most the chunk size and adds the bytes sent to
    // written. False when the id has no connected socket or a send fails (written then holds
    // what went out). A length below 1 sends nothing and returns true.
    bool write(void* data, int length, int& written) override;

    int GetChunkSize() const { return m_chunkSize; }

  private:
    int m_chunkSize;
};

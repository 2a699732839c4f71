// KEPMsgChannel: the module's handle on one connection of the connection table.
//
// A channel holds nothing but the connection's socket id (-1 for none); the socket, its label
// and its error state live in KEPMsgConnectionServicesUtils, keyed by that id, so every copy of a
// channel shares one label. Channels are small values, copied freely; two channels are equal
// when their ids are. A channel owns nothing and its destructor closes nothing.
//
// Thread-safety: a channel value is not shared between threads except by copying. Its
// operations take no lock of their own; those that reach the connection table take the
// connection-services mutex for the length of that call only.
#pragma once

#include "base/KEPBasExport.h"
#include "base/KEPString.h"

class KEPMsgSocket;

class KEPMSG_API KEPMsgChannel {
  public:
    // A channel with no connection: socket id -1.
    KEPMsgChannel();
    // A channel on socket's connection: takes its id and records label as the connection's
    // name. A null socket gives id -1 and records no label.
    KEPMsgChannel(KEPMsgSocket* socket, const KEPString& label);
    KEPMsgChannel(const KEPMsgChannel& other) = default;
    KEPMsgChannel& operator=(const KEPMsgChannel& other) = default;
    ~KEPMsgChannel() = default;

    // True when both socket ids are equal (two channels without a connection are equal).
    bool operator==(const KEPMsgChannel& other) const { return m_socketId == other.m_socketId; }
    bool operator!=(const KEPMsgChannel& other) const { return m_socketId != other.m_socketId; }

    // Returns the socket id of the connection, the key of the connection table (-1 for none).
    int GetSocketId() const { return m_socketId; }
    // The socket entered under the id in the connection table, or null. The pointer is valid
    // only until the connection is removed.
    KEPMsgSocket* GetSocket() const;
    // The connection's recorded name, or a null string (equal to "") when none is recorded.
    KEPString GetLabel();
    // Records label as the connection's name, replacing any earlier one (shared by all copies).
    void SetLabel(const KEPString& label);
    // True when the channel has an id and the table holds an open socket for it.
    bool IsActiveInCurrentThreads() const;
    // Shuts the connection down and removes it from the table (an absent id is ignored), then
    // sets this channel's id to -1. Other copies keep the old id.
    void Shutdown();

  private:
    int m_socketId;
};

// KEPMsgChannelMsgStruct: one message together with the channel it goes to or came from.
//
// The send queue holds one record per (channel, message) with the message id that the record
// was given; the retrieve buffer holds one record per received message, with the id left at its
// default (all bits set). A record borrows its message: copying or destroying a record never
// copies or deletes the message. Records are plain values and carry no lock.
#pragma once

#include "base/KEPBasExport.h"
#include "base/KEPBasSocketMessage.h"
#include "channels/KEPMsgChannel.h"

struct KEPMSG_API KEPMsgChannelMsgStruct {
    // Channel with socket id -1, no message, id with all bits set.
    KEPMsgChannelMsgStruct() : m_channel(), m_message(nullptr), m_id(0xFFFFFFFFu) {}
    KEPMsgChannelMsgStruct(const KEPMsgChannel& channel, KEPBasSocketMessage* message,
                           unsigned int id = 0xFFFFFFFFu)
        : m_channel(channel), m_message(message), m_id(id) {}

    KEPMsgChannel m_channel;         // connection written to, or the one the message came from
    KEPBasSocketMessage* m_message;  // borrowed, never deleted by the record
    unsigned int m_id;               // message id in the send queue; all bits set when received
};

// KEPMsgChannelQuery: a predicate that selects channels out of a channel list.
//
// Queries are owned by their callers; the organizer only calls Search while it holds its
// mutex. Implementations must not call back into the channel organizer.
#pragma once

#include "KEPBase/ProtectedInterfaces/KEPBasVector.h"
#include "base/KEPBasExport.h"
#include "base/mem_Allocation.h"
#include "channels/KEPMsgChannel.h"

class KEPMSG_API KEPMsgChannelQuery : public mem_AllocationOperators {
  public:
    KEPMsgChannelQuery() {}
    // Virtual so that a host may delete a derived query through this type.
    virtual ~KEPMsgChannelQuery() {}

    // Appends to found, in the order of channels, every channel that the query accepts.
    virtual void Search(const KEPBasVector<KEPMsgChannel>& channels,
                        KEPBasVector<KEPMsgChannel>& found) const = 0;
};

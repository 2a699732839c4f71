// KEPMsgMessageQuery: predicate that selects stored messages by position.
//
// The retrieve buffer hands a query the list of its message pointers and takes out the messages
// at the positions the query gives. A query is called under the retrieve-buffer mutex, so its
// Search must not call back into the retrieve buffer. Queries belong to their caller.
#pragma once

#include "KEPBase/ProtectedInterfaces/KEPBasVector.h"
#include "base/KEPBasExport.h"
#include "base/KEPBasSocketMessage.h"
#include "base/mem_Allocation.h"

class KEPMSG_API KEPMsgMessageQuery : public mem_AllocationOperators {
  public:
    KEPMsgMessageQuery() {}
    virtual ~KEPMsgMessageQuery() {}
    // Appends to positions the 0-based positions of the messages it selects, each at most once.
    virtual void Search(const KEPBasVector<KEPBasSocketMessage*>& messages,
                        KEPBasVector<int>& positions) const = 0;
};

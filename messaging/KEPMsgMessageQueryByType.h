// KEPMsgMessageQueryByType: selects the messages whose type name equals a given name.
//
// The comparison is byte-wise, exact and case-sensitive over the whole name; a null name counts
// as empty. The query holds its own copy of the name and may be used from any thread.
#pragma once

#include "base/KEPBasExport.h"
#include "base/KEPString.h"
#include "messaging/KEPMsgMessageQuery.h"

class KEPMSG_API KEPMsgMessageQueryByType : public KEPMsgMessageQuery {
  public:
    explicit KEPMsgMessageQueryByType(KEPString type);
    ~KEPMsgMessageQueryByType() override;

    // Appends the position of every message whose GetMessageType() equals the query's name.
    void Search(const KEPBasVector<KEPBasSocketMessage*>& messages,
                KEPBasVector<int>& positions) const override;

  private:
    KEPString m_type;
};

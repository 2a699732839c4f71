// KEPMsgChannelQueryByLabel: selects the channels whose label equals a given label.
//
// The comparison is byte for byte, case-sensitive and over the whole label (a label that only
// contains the query's label does not match); a null label counts as "". Each label is read
// from the connection table, taking the connection-services mutex once per channel.
#pragma once

#include "base/KEPBasExport.h"
#include "base/KEPString.h"
#include "channels/KEPMsgChannelQuery.h"

class KEPMSG_API KEPMsgChannelQueryByLabel : public KEPMsgChannelQuery {
  public:
    explicit KEPMsgChannelQueryByLabel(KEPString label);
    ~KEPMsgChannelQueryByLabel() override;

    // Appends to found every channel of channels whose label equals this query's label.
    void Search(const KEPBasVector<KEPMsgChannel>& channels,
                KEPBasVector<KEPMsgChannel>& found) const override;

  private:
    KEPString m_label;
};

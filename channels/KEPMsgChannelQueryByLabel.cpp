#include "channels/KEPMsgChannelQueryByLabel.h"

#include <utility>

KEPMsgChannelQueryByLabel::KEPMsgChannelQueryByLabel(KEPString label) : m_label(std::move(label)) {}

KEPMsgChannelQueryByLabel::~KEPMsgChannelQueryByLabel() {}

void KEPMsgChannelQueryByLabel::Search(const KEPBasVector<KEPMsgChannel>& channels,
                                       KEPBasVector<KEPMsgChannel>& found) const {
    for (int i = 0; i < channels.size(); ++i) {
        KEPMsgChannel channel = channels[i];
        // KEPString compares whole texts byte for byte, a null string equal to "".
        if (channel.GetLabel() == m_label) {
            found.push_back(channel);
        }
    }
}

#include "messaging/KEPMsgMessageQueryByType.h"

KEPMsgMessageQueryByType::KEPMsgMessageQueryByType(KEPString type) : m_type(type) {}

KEPMsgMessageQueryByType::~KEPMsgMessageQueryByType() {}

void KEPMsgMessageQueryByType::Search(const KEPBasVector<KEPBasSocketMessage*>& messages,
                                      KEPBasVector<int>& positions) const {
    for (int i = 0; i < messages.size(); ++i) {
        KEPBasSocketMessage* const message = messages[i];
        if (message != nullptr && message->GetMessageType().Compare(m_type) == 0) {
            positions.push_back(i);
        }
    }
}

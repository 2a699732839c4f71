#include "sockets/KEPMsgTlsSettings.h"

#include "sockets/KEPMsgTlsContext.h"

bool KEPMsgTlsSettings::CanLoad(bool forServer, KEPString& errorText) const {
    std::string error;
    const bool loaded =
        KEPMsgTlsContext::Make(
            *this, forServer ? KEPMsgTlsContext::Role::kServer : KEPMsgTlsContext::Role::kClient,
            error) != nullptr;
    if (!loaded) {
        errorText = KEPString(error.c_str());
    }
    return loaded;
}

#include "messaging/KEPMsgSocketMessageUtils.h"

template class KEPBasAtiGlobalSingleton<KEPMsgSocketMessageUtils>;

KEPMsgSocketMessageUtils::KEPMsgSocketMessageUtils() {}

KEPMsgSocketMessageUtils::~KEPMsgSocketMessageUtils() {}

int KEPMsgSocketMessageUtils::Count() {
    KEPBasAtiScopedLock<KEPMsgSocketMessageUtils> guard(*this);
    return m_table.Count();
}

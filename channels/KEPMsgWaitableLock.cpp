#include "channels/KEPMsgWaitableLock.h"

template class KEPBasAtiGlobalSingleton<KEPMsgWaitableLock>;

KEPMsgWaitableLock::KEPMsgWaitableLock() {}

KEPMsgWaitableLock::~KEPMsgWaitableLock() {}

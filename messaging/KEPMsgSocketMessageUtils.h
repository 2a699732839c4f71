// KEPMsgSocketMessageUtils: process-wide singleton created at module start-up.
//
// It keeps one id table, built empty and freed with the singleton; the module itself neither
// fills nor reads it. Access to the table goes through the singleton's mutex.
#pragma once

#include "KEPBase/ProtectedInterfaces/KEPBasAtiGlobalSingleton.h"
#include "KEPBase/ProtectedInterfaces/omi_IntTable.h"
#include "base/KEPBasExport.h"

class KEPMSG_API KEPMsgSocketMessageUtils
    : public KEPBasAtiGlobalSingleton<KEPMsgSocketMessageUtils> {
    friend class KEPBasAtiGlobalSingleton<KEPMsgSocketMessageUtils>;

  public:
    ~KEPMsgSocketMessageUtils();

    // Number of entries in the table (0: the module never adds any).
    int Count();

  private:
    KEPMsgSocketMessageUtils();
    KEPMsgSocketMessageUtils(const KEPMsgSocketMessageUtils&) = delete;
    KEPMsgSocketMessageUtils& operator=(const KEPMsgSocketMessageUtils&) = delete;

    omi_IntTable<void*, KEPBasOmiDefaultAllocator> m_table;
};

extern template class KEPBasAtiGlobalSingleton<KEPMsgSocketMessageUtils>;

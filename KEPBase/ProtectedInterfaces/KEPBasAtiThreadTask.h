// KEPBasAtiThreadTask: the work that a thread of the base layer's thread facility runs.
//
// A host derives from it and implements Run(); the facility (KEPBasAtiThread) calls Run() once
// on its own thread. The task object belongs to whoever made it and must outlive the thread
// that runs it; the facility neither copies nor deletes it. The class holds no state, so its
// thread-safety is that of the derived class. Exported, so that one type identity (typeinfo,
// vtable) is shared by the base library, the module and the host.
#pragma once

#include "base/KEPBasExport.h"
#include "base/mem_Allocation.h"

class KEPBAS_API KEPBasAtiThreadTask : public mem_AllocationOperators {
  public:
    KEPBasAtiThreadTask() {}
    virtual ~KEPBasAtiThreadTask() {}
    // The body of the thread; the argument is the one given to the thread facility.
    virtual void Run(int argument) = 0;
};

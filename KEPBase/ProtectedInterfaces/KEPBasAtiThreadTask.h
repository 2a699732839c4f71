// Abstract task that a thread of the base layer's thread facility runs (see KEPBasAtiThread).
#pragma once

#include "base/mem_Allocation.h"

class KEPBasAtiThreadTask : public mem_AllocationOperators {
public:
    KEPBasAtiThreadTask() {}
    virtual ~KEPBasAtiThreadTask() {}
    // The body of the thread; the argument is the one given to the thread facility.
    virtual void Run(int argument) = 0;
};

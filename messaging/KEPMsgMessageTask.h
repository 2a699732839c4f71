// KEPMsgMessageTask: the message loop as a task for the base layer's thread facility.
//
// Run() repeats one receive pass (a wait of at most 20 ms, ended early by traffic, a queued send,
// a channel registration or the shutdown) and one transmit pass until the communicator's
// task-running flag is cleared. With nothing open the wait still lasts its 20 ms, so an idle
// task costs next to nothing. Start protocol: make the task, call
// KEPMsgSocketCommunicator::PrepareStartupMessageTask(), then start a thread that runs it.
// Stop: ShutdownMessageTask(), then join the thread, then delete the task. The task holds no
// state of its own; only one task may run at a time.
#pragma once

#include "KEPBase/ProtectedInterfaces/KEPBasAtiThreadTask.h"
#include "base/KEPBasExport.h"

class KEPMSG_API KEPMsgMessageTask : public KEPBasAtiThreadTask {
  public:
    KEPMsgMessageTask() {}
    ~KEPMsgMessageTask() override {}

    // The message loop; returns at once when the task was not armed. argument is unused.
    void Run(int argument) override;
};

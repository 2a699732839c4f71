// Thread facility: runs a task's Run(int) once on a new thread.
//
// The task is borrowed and must outlive the thread. Join() waits for Run to return; the
// destructor joins a thread that is still running, so a thread never outlives its object.
#pragma once

#include <thread>

#include "KEPBase/ProtectedInterfaces/KEPBasAtiThreadTask.h"
#include "base/KEPBasExport.h"

class KEPBAS_API KEPBasAtiThread {
  public:
    explicit KEPBasAtiThread(KEPBasAtiThreadTask* task, int argument = 0);
    ~KEPBasAtiThread();
    KEPBasAtiThread(const KEPBasAtiThread&) = delete;
    KEPBasAtiThread& operator=(const KEPBasAtiThread&) = delete;

    // Starts the thread; false when it is already started or the task is null.
    bool Start();
    // Waits for Run to return; does nothing when the thread was not started or is joined.
    void Join();
    bool IsStarted() const;

  private:
    KEPBasAtiThreadTask* m_task;
    int m_argument;
    std::thread m_thread;
};

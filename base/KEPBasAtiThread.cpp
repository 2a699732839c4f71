#include "base/KEPBasAtiThread.h"

#include <system_error>

KEPBasAtiThread::KEPBasAtiThread(KEPBasAtiThreadTask* task, int argument)
    : m_task(task), m_argument(argument) {}

KEPBasAtiThread::~KEPBasAtiThread() {
    Join();
}

bool KEPBasAtiThread::Start() {
    if (m_task == nullptr || m_thread.joinable()) {
        return false;
    }
    KEPBasAtiThreadTask* task = m_task;
    const int argument = m_argument;
    try {
        m_thread = std::thread([task, argument] { task->Run(argument); });
    } catch (const std::system_error&) {
        // No exception leaves the library: a thread that cannot be made is a failed start.
        return false;
    }
    return true;
}

void KEPBasAtiThread::Join() {
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

bool KEPBasAtiThread::IsStarted() const {
    return m_thread.joinable();
}

// KEPDemoChild: the demo's second process, this same program started again with other
// arguments. Its output goes where the parent's goes. The object owns the process: a child still
// running when the object is destroyed is killed and reaped. One source per platform implements
// it (KEPDemoChildPosix.cpp: posix_spawn of /proc/self/exe; KEPDemoChildWindows.cpp:
// CreateProcess of GetModuleFileName). Not thread-safe: one thread uses an object.
#pragma once

#include <chrono>
#include <string>
#include <vector>

class KEPDemoChild {
  public:
    KEPDemoChild() = default;
    ~KEPDemoChild();
    KEPDemoChild(const KEPDemoChild&) = delete;
    KEPDemoChild& operator=(const KEPDemoChild&) = delete;

    // Starts this program with arguments (not counting the program itself); false when it could
    // not be started.
    bool Start(const std::vector<std::string>& arguments);
    // The child's exit status, waiting until deadline; -1 when it did not exit normally in time.
    int WaitExit(std::chrono::steady_clock::time_point deadline);

  private:
#ifdef _WIN32
    void* m_process = nullptr;  // the process handle
#else
    int m_pid = -1;
#endif
};

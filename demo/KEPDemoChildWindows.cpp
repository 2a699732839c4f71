#include "demo/KEPDemoChild.h"

#include <windows.h>

KEPDemoChild::~KEPDemoChild() {
    if (m_process != nullptr) {
        ::TerminateProcess(m_process, 1);
        ::WaitForSingleObject(m_process, INFINITE);
        ::CloseHandle(m_process);
    }
}

bool KEPDemoChild::Start(const std::vector<std::string>& arguments) {
    char self[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameA(nullptr, self, sizeof self);
    if (length == 0 || length >= sizeof self) {
        return false;
    }
    std::string commandLine = "\"" + std::string(self, length) + "\"";
    for (const std::string& argument : arguments) {
        commandLine += " \"" + argument + "\"";
    }
    // The child writes where the parent does; the module's sockets are never inherited.
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = ::GetStdHandle(STD_OUTPUT_HANDLE);
    startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process{};
    if (!::CreateProcessA(self, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                          &startup, &process)) {
        return false;
    }
    ::CloseHandle(process.hThread);
    m_process = process.hProcess;
    return true;
}

int KEPDemoChild::WaitExit(std::chrono::steady_clock::time_point deadline) {
    if (m_process == nullptr) {
        return -1;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    DWORD code = 0;
    if (::WaitForSingleObject(m_process, left > 0 ? static_cast<DWORD>(left) : 0) !=
            WAIT_OBJECT_0 ||
        !::GetExitCodeProcess(m_process, &code)) {
        return -1;
    }
    ::CloseHandle(m_process);
    m_process = nullptr;
    return static_cast<int>(code);
}

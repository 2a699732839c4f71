#include "tests/support/KEPTestNet.h"
#include "tests/support/KEPTestSystem.h"
// After the Winsock headers.
#include <io.h>
#include <psapi.h>
#include <windows.h>

#include <chrono>
#include <thread>

namespace keptest {

using namespace testsystem;

int testsystem::PollSockets(pollfd* fds, int count, int timeoutMs) {
    return ::WSAPoll(fds, static_cast<ULONG>(count), timeoutMs);
}

int testsystem::CloseSocket(int fd) {
    return ::closesocket(static_cast<SOCKET>(fd));
}

int testsystem::NewSocket() {
    return static_cast<int>(::WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                                         WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT));
}

namespace {

// Raw sockets are made before any of the library's: start Winsock when the program loads.
const bool s_winsockStarted = [] {
    WSADATA data;
    return ::WSAStartup(0x0202, &data) == 0;
}();

// Options Windows has and MinGW's headers lack (ws2ipdef.h of the Windows SDK).
constexpr int TCP_KEEPIDLE = 3;  // TCP_KEEPALIVE there
constexpr int TCP_KEEPCNT = 16;
constexpr int TCP_KEEPINTVL = 17;
constexpr int TCP_MAXRT = 5;

}  // namespace

KeepAliveOptions KeepAliveOf(int fd) {
    KeepAliveOptions options;
    options.on = IntOption(fd, SOL_SOCKET, SO_KEEPALIVE);
    options.idleSeconds = IntOption(fd, IPPROTO_TCP, TCP_KEEPIDLE);
    options.intervalSeconds = IntOption(fd, IPPROTO_TCP, TCP_KEEPINTVL);
    options.count = IntOption(fd, IPPROTO_TCP, TCP_KEEPCNT);
    const int seconds = IntOption(fd, IPPROTO_TCP, TCP_MAXRT);
    options.unacknowledgedMs = seconds < 0 ? -1 : seconds * 1000;
    return options;
}

int ThisThreadId() {
    return static_cast<int>(::GetCurrentThreadId());
}

bool IsThreadSleeping(int) {
    return true;
}

int ProcessId() {
    return static_cast<int>(::GetCurrentProcessId());
}

std::string ThisProgramPath() {
    char path[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameA(nullptr, path, sizeof path);
    return length > 0 && length < sizeof path ? std::string(path, length) : std::string();
}

int IoTimeoutMs(int fd, bool sends) {
    return IntOption(fd, SOL_SOCKET, sends ? SO_SNDTIMEO : SO_RCVTIMEO);  // a DWORD of ms
}

namespace {

// The file identity behind a handle: volume and index.
bool FileIdentity(HANDLE file, BY_HANDLE_FILE_INFORMATION& info) {
    return file != INVALID_HANDLE_VALUE && ::GetFileInformationByHandle(file, &info);
}

}  // namespace

FileHandle FileHandleOf(const std::string& path) {
    BY_HANDLE_FILE_INFORMATION wanted{};
    HANDLE probe =
        ::CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, OPEN_EXISTING, 0, nullptr);
    const bool found = FileIdentity(probe, wanted);
    if (probe != INVALID_HANDLE_VALUE) {
        ::CloseHandle(probe);
    }
    // The C runtime's descriptors: the library opens its files through it.
    for (int fd = 0; found && fd < 2048; ++fd) {
        const HANDLE file = reinterpret_cast<HANDLE>(::_get_osfhandle(fd));
        BY_HANDLE_FILE_INFORMATION info{};
        DWORD flags = 0;
        if (FileIdentity(file, info) && info.dwVolumeSerialNumber == wanted.dwVolumeSerialNumber &&
            info.nFileIndexHigh == wanted.nFileIndexHigh &&
            info.nFileIndexLow == wanted.nFileIndexLow && ::GetHandleInformation(file, &flags)) {
            return (flags & HANDLE_FLAG_INHERIT) != 0 ? FileHandle::kInherited
                                                      : FileHandle::kKeptFromChildren;
        }
    }
    return FileHandle::kNone;
}

bool IsOpenDescriptor(int fd) {
    int type = 0;
    int length = sizeof type;
    return ::getsockopt(static_cast<SOCKET>(fd), SOL_SOCKET, SO_TYPE,
                        reinterpret_cast<char*>(&type), &length) == 0;
}

int OpenDescriptorCount() {
    DWORD count = 0;
    return ::GetProcessHandleCount(::GetCurrentProcess(), &count) ? static_cast<int>(count) : -1;
}

long ResidentKiB() {
    PROCESS_MEMORY_COUNTERS counters{};
    return ::GetProcessMemoryInfo(::GetCurrentProcess(), &counters, sizeof counters)
               ? static_cast<long>(counters.WorkingSetSize / 1024)
               : -1;
}

int BytesWaiting(int fd) {
    u_long waiting = 0;
    return ::ioctlsocket(static_cast<SOCKET>(fd), FIONREAD, &waiting) == 0
               ? static_cast<int>(waiting)
               : -1;
}

// Windows has no per-process descriptor limit to raise.
long RaiseDescriptorLimit(long wanted) {
    return wanted;
}

ChildProcess::ChildProcess(std::vector<std::string> arguments) {
    // Inheritable write ends for the child, read ends kept here.
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE outWrite = nullptr;
    HANDLE errWrite = nullptr;
    HANDLE outRead = nullptr;
    HANDLE errRead = nullptr;
    const bool piped = ::CreatePipe(&outRead, &outWrite, &inherit, 0) &&
                       ::CreatePipe(&errRead, &errWrite, &inherit, 0);
    std::string commandLine;
    for (const std::string& argument : arguments) {
        commandLine += (commandLine.empty() ? "\"" : " \"") + argument + "\"";
    }
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = outWrite;
    startup.hStdError = errWrite;
    PROCESS_INFORMATION process{};
    if (piped) {
        ::SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
        ::SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);
        if (::CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                             &startup, &process)) {
            ::CloseHandle(process.hThread);
            m_process = process.hProcess;
            m_pid = static_cast<int>(process.dwProcessId);
        }
    }
    for (HANDLE end : {outWrite, errWrite}) {
        if (end != nullptr) {
            ::CloseHandle(end);
        }
    }
    m_outPipe = outRead;
    m_errPipe = errRead;
}

ChildProcess::~ChildProcess() {
    if (m_process != nullptr) {
        ::TerminateProcess(m_process, 137);
        ::WaitForSingleObject(m_process, INFINITE);
        ::CloseHandle(m_process);
    }
    for (void* pipe : {m_outPipe, m_errPipe}) {
        if (pipe != nullptr) {
            ::CloseHandle(pipe);
        }
    }
}

namespace {

// Appends what pipe holds to text without blocking; false once the child's end is closed (and
// then closes this end).
bool ReadAvailable(void*& pipe, std::string& text) {
    char buffer[4096];
    for (;;) {
        DWORD waiting = 0;
        DWORD got = 0;
        if (pipe == nullptr) {
            return false;
        }
        if (!::PeekNamedPipe(pipe, nullptr, 0, nullptr, &waiting, nullptr)) {
            ::CloseHandle(pipe);
            pipe = nullptr;
            return false;
        }
        if (waiting == 0) {
            return true;
        }
        if (!::ReadFile(pipe, buffer, waiting < sizeof buffer ? waiting : sizeof buffer, &got,
                        nullptr)) {
            continue;
        }
        // A text-mode stdout ends lines with CR LF; they are kept as LF, as on POSIX. A CR at the
        // end of the text so far may be followed by its LF now.
        const std::size_t from = text.empty() ? 0 : text.size() - 1;
        text.append(buffer, got);
        std::size_t kept = from;
        for (std::size_t i = from; i < text.size(); ++i) {
            if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) {
                text[kept++] = text[i];
            }
        }
        text.resize(kept);
    }
}

}  // namespace

bool ChildProcess::Drain(int timeoutMs) {
    // Pipes cannot be waited on beside each other: look, then pause briefly.
    const bool outOpen = ReadAvailable(m_outPipe, m_outText);
    const bool errOpen = ReadAvailable(m_errPipe, m_errText);
    if (outOpen || errOpen) {
        std::this_thread::sleep_for(std::chrono::milliseconds(timeoutMs < 5 ? timeoutMs : 5));
    }
    return outOpen || errOpen;
}

int ChildProcess::Wait(double timeoutSeconds) {
    const Clock::time_point deadline = DeadlineAfter(timeoutSeconds);
    while (m_process != nullptr && ::WaitForSingleObject(m_process, 0) == WAIT_TIMEOUT &&
           Clock::now() < deadline) {
        Drain(10);
    }
    DWORD code = 0;
    if (m_process != nullptr && ::WaitForSingleObject(m_process, 0) == WAIT_OBJECT_0 &&
        ::GetExitCodeProcess(m_process, &code)) {
        ::CloseHandle(m_process);
        m_process = nullptr;
        m_pid = -1;
        while (Drain(0)) {
        }
        m_status = static_cast<int>(code);
    }
    return m_status;
}

void ChildProcess::Signal(int number) {
    if (m_process != nullptr) {
        ::TerminateProcess(m_process, static_cast<UINT>(128 + number));
    }
}

}  // namespace keptest

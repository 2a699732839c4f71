#include "tests/support/KEPTestNet.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
// After the Winsock headers.
#include <io.h>
#include <psapi.h>
#include <windows.h>
#else
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>

namespace keptest {

namespace {

#ifdef _WIN32
// Raw sockets are made before any of the library's: start Winsock when the program loads.
const bool s_winsockStarted = [] {
    WSADATA data;
    return ::WSAStartup(0x0202, &data) == 0;
}();
constexpr int MSG_NOSIGNAL = 0;
int PollSockets(pollfd* fds, int count, int timeoutMs) {
    return ::WSAPoll(fds, static_cast<ULONG>(count), timeoutMs);
}
int CloseSocket(int fd) {
    return ::closesocket(static_cast<SOCKET>(fd));
}
// Kept from child processes, as every socket of the library is: a child must not hold a test's
// port.
int NewSocket() {
    return static_cast<int>(::WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                                         WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT));
}
// Options Windows has and MinGW's headers lack (ws2ipdef.h of the Windows SDK).
constexpr int TCP_KEEPIDLE = 3;  // TCP_KEEPALIVE there
constexpr int TCP_KEEPCNT = 16;
constexpr int TCP_KEEPINTVL = 17;
constexpr int TCP_MAXRT = 5;
#else
int PollSockets(pollfd* fds, int count, int timeoutMs) {
    return ::poll(fds, static_cast<nfds_t>(count), timeoutMs);
}
int CloseSocket(int fd) {
    return ::close(fd);
}
int NewSocket() {
    return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
}
#endif

using Clock = std::chrono::steady_clock;

Clock::time_point DeadlineAfter(double seconds) {
    return Clock::now() + std::chrono::microseconds(static_cast<long long>(seconds * 1e6));
}

// Waits for any of fds to be readable until deadline, retrying an interrupted poll.
bool PollReadable(pollfd* fds, int count, Clock::time_point deadline) {
    int ready;
    do {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        ready = PollSockets(fds, count, left > 0 ? static_cast<int>(left) : 0);
    } while (ready < 0 && errno == EINTR);
    return ready > 0;
}

bool PollReadable(int fd, Clock::time_point deadline) {
    pollfd entry{};
    entry.fd = fd;
    entry.events = POLLIN;
    return PollReadable(&entry, 1, deadline);
}

RawSocket NoDelay(RawSocket socket) {
    const int one = 1;
    ::setsockopt(socket.Fd(), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one),
                 sizeof one);
    return socket;
}

// Binds (listening: and listens) or connects a new socket to 127.0.0.1:port; closed on failure.
template <typename Attach>
RawSocket Loopback(int port, Attach attach, bool listening) {
    RawSocket socket(NewSocket());
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    if (attach(socket.Fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        (listening && ::listen(socket.Fd(), 128) != 0)) {
        socket.Close();
    }
    return socket;
}

#ifndef _WIN32
// Appends what fd holds to text; false once fd is closed (and then closes it).
bool ReadAvailable(int& fd, std::string& text) {
    char buffer[4096];
    ssize_t n = -1;
    while (fd >= 0 && ((n = ::read(fd, buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR))) {
        text.append(buffer, static_cast<std::size_t>(n > 0 ? n : 0));
    }
    if (n == 0) {
        ::close(fd);
        fd = -1;
    }
    return fd >= 0;
}
#endif

// The port of an IPv4 or IPv6 address: both keep it at the same place.
template <typename Query>
int PortOf(int fd, Query query) {
    static_assert(offsetof(sockaddr_in, sin_port) == offsetof(sockaddr_in6, sin6_port), "");
    sockaddr_in6 address{};
    socklen_t length = sizeof address;
    return query(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0 ? ntohs(address.sin6_port)
                                                                          : -1;
}

}  // namespace

bool WaitUntil(const std::function<bool()>& condition, double timeoutSeconds) {
    const Clock::time_point deadline = DeadlineAfter(timeoutSeconds);
    while (!condition()) {
        if (Clock::now() >= deadline) {
            return condition();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

bool FinishesWithinDeadline(std::function<void()> call) {
    BackgroundCall running(std::move(call));  // its destructor waits, or aborts the program
    return true;
}

bool WaitReadable(int fd, double timeoutSeconds) {
    return PollReadable(fd, DeadlineAfter(timeoutSeconds));
}

BackgroundCall::BackgroundCall(std::function<void()> call)
    : m_thread([this, call] {
          call();
          m_done.store(true);
      }) {}

BackgroundCall::~BackgroundCall() {
    if (!WaitUntil([this] { return Done(); }, 30.0)) {
        std::fprintf(stderr, "background call still blocked after 30 s: aborting\n");
        std::abort();
    }
    m_thread.join();
}

int IntOption(int fd, int level, int option) {
    // Zeroed first: a boolean option may come back as a single byte (it does under Wine).
    int value = 0;
    socklen_t length = sizeof value;
    return ::getsockopt(fd, level, option, reinterpret_cast<char*>(&value), &length) == 0 ? value
                                                                                          : -1;
}

int NoDelayOf(int fd) {
    return IntOption(fd, IPPROTO_TCP, TCP_NODELAY);
}

KeepAliveOptions KeepAliveOf(int fd) {
    KeepAliveOptions options;
    options.on = IntOption(fd, SOL_SOCKET, SO_KEEPALIVE);
    options.idleSeconds = IntOption(fd, IPPROTO_TCP, TCP_KEEPIDLE);
    options.intervalSeconds = IntOption(fd, IPPROTO_TCP, TCP_KEEPINTVL);
    options.count = IntOption(fd, IPPROTO_TCP, TCP_KEEPCNT);
#ifdef _WIN32
    const int seconds = IntOption(fd, IPPROTO_TCP, TCP_MAXRT);
    options.unacknowledgedMs = seconds < 0 ? -1 : seconds * 1000;
#else
    options.unacknowledgedMs = IntOption(fd, IPPROTO_TCP, TCP_USER_TIMEOUT);
#endif
    return options;
}

TempDirectory::TempDirectory() {
    std::random_device seed;
    const std::filesystem::path base = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 100 && m_path.empty(); ++attempt) {
        const std::filesystem::path candidate =
            base / ("kep-test-" + std::to_string(ProcessId()) + "-" + std::to_string(seed()));
        std::error_code error;
        if (std::filesystem::create_directory(candidate, error)) {
            m_path = candidate.generic_string();
        }
    }
}

TempDirectory::~TempDirectory() {
    std::error_code error;
    std::filesystem::remove_all(m_path, error);
}

#ifdef _WIN32
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
#else
int ThisThreadId() {
    return static_cast<int>(::gettid());
}

bool IsThreadSleeping(int tid) {
    const std::string path = "/proc/self/task/" + std::to_string(tid) + "/stat";
    std::ifstream stat(path);
    std::string text;
    std::getline(stat, text);
    const std::string::size_type end = text.rfind(')');
    return end != std::string::npos && end + 2 < text.size() && text[end + 2] == 'S';
}

int ProcessId() {
    return static_cast<int>(::getpid());
}

std::string ThisProgramPath() {
    char path[4096] = {};
    const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
    return length > 0 ? std::string(path, static_cast<std::size_t>(length)) : std::string();
}

int IoTimeoutMs(int fd, bool sends) {
    timeval limit{};
    socklen_t length = sizeof limit;
    return ::getsockopt(fd, SOL_SOCKET, sends ? SO_SNDTIMEO : SO_RCVTIMEO, &limit, &length) == 0
               ? static_cast<int>(limit.tv_sec * 1000 + limit.tv_usec / 1000)
               : -1;
}

FileHandle FileHandleOf(const std::string& path) {
    for (int fd = 0; fd < 1024; ++fd) {
        char target[4096] = {};
        const std::string link = "/proc/self/fd/" + std::to_string(fd);
        if (::readlink(link.c_str(), target, sizeof target - 1) > 0 && path == target) {
            return (::fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0 ? FileHandle::kKeptFromChildren
                                                            : FileHandle::kInherited;
        }
    }
    return FileHandle::kNone;
}

bool IsOpenDescriptor(int fd) {
    return ::fcntl(fd, F_GETFD) != -1;
}

int OpenDescriptorCount() {
    int count = -1;  // the directory stream's own descriptor
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (dirent* entry = ::readdir(dir)) {
            count += entry->d_name[0] != '.' ? 1 : 0;
        }
        ::closedir(dir);
    }
    return count;
}

long ResidentKiB() {
    long size = 0, resident = -1;  // in pages: the first two fields of statm
    std::ifstream("/proc/self/statm") >> size >> resident;
    return resident < 0 ? -1 : resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

int BytesWaiting(int fd) {
    int waiting = 0;
    return ::ioctl(fd, FIONREAD, &waiting) == 0 ? waiting : -1;
}

long RaiseDescriptorLimit(long wanted) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && static_cast<long>(limit.rlim_cur) < wanted) {
        const bool reachable =
            limit.rlim_max == RLIM_INFINITY || static_cast<long>(limit.rlim_max) >= wanted;
        limit.rlim_cur = reachable ? static_cast<rlim_t>(wanted) : limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
    return ::getrlimit(RLIMIT_NOFILE, &limit) == 0 ? static_cast<long>(limit.rlim_cur) : -1;
}
#endif

// Windows hands out handle values of its own choosing: there the next one made stands in.
int LowestFreeDescriptor() {
    return RawSocket(NewSocket()).Fd();
}

int LocalPort(int fd) {
    return PortOf(fd, [](int s, sockaddr* address, socklen_t* length) {
        return ::getsockname(s, address, length);
    });
}

int RemotePort(int fd) {
    return PortOf(fd, [](int s, sockaddr* address, socklen_t* length) {
        return ::getpeername(s, address, length);
    });
}

std::string HeaderBytes(const std::string& type) {
    const std::uint32_t length = static_cast<std::uint32_t>(type.size());
    return std::string(reinterpret_cast<const char*>(&length), 4) + type;
}

RawSocket& RawSocket::operator=(RawSocket&& other) noexcept {
    if (this != &other) {
        Close();
        m_fd = other.Release();
    }
    return *this;
}

void RawSocket::Close() {
    if (m_fd >= 0) {
        CloseSocket(Release());
    }
}

void RawSocket::CloseWithReset() {
    const linger option{1, 0};
    ::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&option),
                 sizeof option);
    Close();
}

bool RawSocket::SendBytes(const void* data, std::size_t length) {
    const char* cursor = static_cast<const char*>(data);
    while (length > 0) {
        const int chunk = length > 1 << 30 ? 1 << 30 : static_cast<int>(length);
        const ssize_t sent = ::send(m_fd, cursor, chunk, MSG_NOSIGNAL);
        if (sent <= 0 && !(sent < 0 && errno == EINTR)) {
            return false;
        }
        cursor += sent > 0 ? sent : 0;
        length -= static_cast<std::size_t>(sent > 0 ? sent : 0);
    }
    return true;
}

std::string RawSocket::ReceiveString(std::size_t length, double timeoutSeconds) {
    const Clock::time_point deadline = DeadlineAfter(timeoutSeconds);
    std::string bytes;
    char buffer[65536];
    while (bytes.size() < length && PollReadable(m_fd, deadline)) {
        const ssize_t got = ::recv(
            m_fd, buffer, static_cast<int>(std::min(sizeof buffer, length - bytes.size())), 0);
        if (got == 0 || (got < 0 && errno != EINTR)) {
            break;
        }
        bytes.append(buffer, static_cast<std::size_t>(got > 0 ? got : 0));
    }
    return bytes;
}

bool RawSocket::WaitPeerClosed(double timeoutSeconds) {
    const Clock::time_point deadline = DeadlineAfter(timeoutSeconds);
    char sink[4096];
    while (PollReadable(m_fd, deadline)) {
        const ssize_t got = ::recv(m_fd, sink, sizeof sink, 0);
        if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN)) {
            return true;
        }
    }
    return false;
}

RawSocket BindLoopback(int port, bool listening) {
    return Loopback(
        port,
        [](int s, const sockaddr* address, socklen_t length) { return ::bind(s, address, length); },
        listening);
}

RawSocket RawConnect(int port) {
    return NoDelay(Loopback(
        port,
        [](int s, const sockaddr* address, socklen_t length) {
            return ::connect(s, address, length);
        },
        false));
}

RawPair ConnectedPair() {
    RawListener listener;
    RawPair pair;
    pair.local = RawConnect(listener.Port());
    pair.remote = listener.Accept();
    return pair;
}

RawListener::RawListener() : m_socket(BindLoopback(0, true)) {
    m_port = m_socket.IsOpen() ? LocalPort(m_socket.Fd()) : 0;
}

RawSocket RawListener::Accept(double timeoutSeconds) {
    if (!m_socket.IsOpen() || !WaitReadable(m_socket.Fd(), timeoutSeconds)) {
        return RawSocket();
    }
    return NoDelay(RawSocket(static_cast<int>(::accept(m_socket.Fd(), nullptr, nullptr))));
}

#ifdef _WIN32
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
#else

ChildProcess::ChildProcess(std::vector<std::string> arguments) {
    // Close-on-exec ends: the child keeps only the two it gets as stdout and stderr. Without
    // both pipes nothing is spawned (Started() is false); the ends made are closed as usual.
    int out[2] = {-1, -1};
    int err[2] = {-1, -1};
    const bool piped = ::pipe2(out, O_CLOEXEC) == 0 && ::pipe2(err, O_CLOEXEC) == 0;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    std::vector<char*> argv;
    for (std::string& argument : arguments) {
        argv.push_back(&argument[0]);
    }
    argv.push_back(nullptr);
    if (!piped || posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
        m_pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    m_out = out[0];
    m_err = err[0];
    ::fcntl(m_out, F_SETFL, O_NONBLOCK);
    ::fcntl(m_err, F_SETFL, O_NONBLOCK);
}

ChildProcess::ChildProcess(const std::function<int()>& body) {
    m_pid = ::fork();
    if (m_pid == 0) {
        int status = 1;
        try {
            status = body();
        } catch (...) {
        }
        ::_exit(status);
    }
}

ChildProcess::~ChildProcess() {
    if (m_pid > 0) {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, nullptr, 0);
    }
    for (int fd : {m_out, m_err}) {
        ::close(fd);  // -1 (a pipe already closed) only fails with EBADF
    }
}

bool ChildProcess::Drain(int timeoutMs) {
    pollfd fds[2] = {{m_out, POLLIN, 0}, {m_err, POLLIN, 0}};
    PollReadable(fds, 2, DeadlineAfter(timeoutMs / 1000.0));
    const bool outOpen = ReadAvailable(m_out, m_outText);
    const bool errOpen = ReadAvailable(m_err, m_errText);
    return outOpen || errOpen;
}

int ChildProcess::Wait(double timeoutSeconds) {
    const Clock::time_point deadline = DeadlineAfter(timeoutSeconds);
    int status = 0;
    pid_t done = 0;
    while (m_pid > 0 && (done = ::waitpid(m_pid, &status, WNOHANG)) == 0 &&
           Clock::now() < deadline) {
        Drain(10);
    }
    if (m_pid > 0 && done == m_pid) {
        m_pid = -1;
        while (Drain(0)) {
        }
        m_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    return m_status;
}

void ChildProcess::Signal(int number) {
    if (m_pid > 0) {
        ::kill(m_pid, number);
    }
}

#endif

std::string ChildProcess::WaitForLine(const std::string& pattern, double timeoutSeconds) {
    const std::regex wanted(pattern);
    const Clock::time_point deadline = DeadlineAfter(timeoutSeconds);
    // The lines read by the drain that found the pipes closed are scanned too.
    for (bool open = true;; open = Drain(10)) {
        std::size_t end;
        while ((end = m_outText.find('\n', m_scanned)) != std::string::npos) {
            std::string line = m_outText.substr(m_scanned, end - m_scanned);
            m_scanned = end + 1;
            if (std::regex_search(line, wanted)) {
                return line;
            }
        }
        if (!open || Clock::now() >= deadline) {
            return {};
        }
    }
}

}  // namespace keptest

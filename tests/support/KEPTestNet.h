// The operating system as the tests see it, on POSIX and on Windows: deadline waits, owned raw
// loopback sockets that the test drives byte by byte outside the library, socket options read
// back, process and file figures, temporary folders, and child processes with their output
// captured. Test files reach the system through these, not through its headers.
//
// Built as kep_test_net, which needs nothing but the system: it knows no layer of the library.
// The message-level members of RawSocket (SendMessage, ReceiveType, ReceiveMessage) are defined
// in kep_test_support, so only programs that link it may call them. Every blocking call has a
// deadline, so a broken library fails a test instead of hanging it. Nothing here is thread-safe
// beyond one thread per object.
#pragma once

#ifndef _WIN32
#include <sys/types.h>
#endif

#include <atomic>
#include <cstddef>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

class KEPBasSocketMessage;

namespace keptest {

// Sanitizers keep freed memory in quarantine and defer signals: resident-memory figures and
// signal timing mean nothing under them.
#ifdef KEP_SANITIZER_BUILD
constexpr bool kUnderSanitizer = true;
#else
constexpr bool kUnderSanitizer = false;
#endif
#ifdef KEP_THREAD_SANITIZER_BUILD
constexpr bool kUnderThreadSanitizer = true;
#else
constexpr bool kUnderThreadSanitizer = false;
#endif

class SequencedMessage;

// Polls condition every millisecond until it holds or timeoutSeconds have passed; returns
// whether it held.
bool WaitUntil(const std::function<bool()>& condition, double timeoutSeconds = 10.0);
// Runs call on another thread and returns true once it finishes. A call still blocked after a
// generous deadline (a deadlock, a wait that ignores its time-out) aborts the program with a
// message instead of hanging until the ctest watchdog.
bool FinishesWithinDeadline(std::function<void()> call);
// True when fd has data (or the end of the connection) waiting within timeoutSeconds.
bool WaitReadable(int fd, double timeoutSeconds);

// Runs a call on a thread of its own, for a test that checks what a blocking call does while
// the test acts. The destructor waits for the call; one that is still blocked after a long
// deadline (a lost wake-up) aborts the program with a message instead of hanging it.
class BackgroundCall {
  public:
    explicit BackgroundCall(std::function<void()> call);
    ~BackgroundCall();
    BackgroundCall(const BackgroundCall&) = delete;
    BackgroundCall& operator=(const BackgroundCall&) = delete;

    // True once the call has returned.
    bool Done() const { return m_done.load(); }

  private:
    std::atomic<bool> m_done{false};
    std::thread m_thread;
};

bool IsOpenDescriptor(int fd);
// The number the next descriptor would get (the lowest free one).
int LowestFreeDescriptor();
int OpenDescriptorCount();
// Resident memory of this process in KiB (VmRSS), or -1.
long ResidentKiB();
// Bytes received on fd and not read yet (-1 on failure).
int BytesWaiting(int fd);
// Raises the soft descriptor limit to at least wanted (up to the hard limit); returns the soft
// limit in force afterwards.
long RaiseDescriptorLimit(long wanted);
// This thread's id, and whether thread tid of this process is in an interruptible sleep (always
// true on Windows, which shows no thread state).
int ThisThreadId();
bool IsThreadSleeping(int tid);
// This process's id, and the path of the program it runs (to start another copy of it).
int ProcessId();
std::string ThisProgramPath();
// An integer socket option read back from the system, or -1.
int IntOption(int fd, int level, int option);
// Whether Nagle's algorithm is off on a socket (TCP_NODELAY): 1 or 0, or -1.
int NoDelayOf(int fd);
// The receive (or, with sends, the send) time-out of a socket in milliseconds, or -1.
int IoTimeoutMs(int fd, bool sends = false);
// A socket's keep-alive options as the system reports them, each -1 where it reports none: on
// or off, idle and interval seconds, probe count, and the bound on unacknowledged data in ms
// (TCP_USER_TIMEOUT; Windows' TCP_MAXRT, which counts seconds).
struct KeepAliveOptions {
    int on = -1;
    int idleSeconds = -1;
    int intervalSeconds = -1;
    int count = -1;
    int unacknowledgedMs = -1;
};
KeepAliveOptions KeepAliveOf(int fd);
// How this process holds the file at path: not at all, or open and inherited by the programs it
// starts, or open and kept from them.
enum class FileHandle { kNone, kInherited, kKeptFromChildren };
FileHandle FileHandleOf(const std::string& path);
// The local port a socket descriptor is bound to, or -1.
int LocalPort(int fd);
// The port of the peer at the other end of a connected socket descriptor, or -1.
int RemotePort(int fd);

// The bytes with the given values.
inline std::string Bytes(std::initializer_list<int> values) {
    return std::string(values.begin(), values.end());
}
// The message header for a type name: 4-byte little-endian length, then the name.
std::string HeaderBytes(const std::string& type);

// Owns one socket descriptor.
class RawSocket {
  public:
    RawSocket() = default;
    explicit RawSocket(int fd) : m_fd(fd) {}
    RawSocket(RawSocket&& other) noexcept : m_fd(other.Release()) {}
    RawSocket& operator=(RawSocket&& other) noexcept;
    RawSocket(const RawSocket&) = delete;
    RawSocket& operator=(const RawSocket&) = delete;
    ~RawSocket() { Close(); }

    int Fd() const { return m_fd; }
    bool IsOpen() const { return m_fd >= 0; }
    // Gives the descriptor up without closing it.
    int Release() { return std::exchange(m_fd, -1); }
    void Close();
    // Closes with SO_LINGER 0, so the peer gets a reset instead of an orderly end.
    void CloseWithReset();

    // Sends every byte; false on failure.
    bool SendBytes(const void* data, std::size_t length);
    bool SendBytes(const std::string& bytes) { return SendBytes(bytes.data(), bytes.size()); }
    // Up to length bytes: fewer when the peer closes or the time runs out.
    std::string ReceiveString(std::size_t length, double timeoutSeconds = 10.0);
    bool WaitReadable(double timeoutSeconds) const {
        return keptest::WaitReadable(m_fd, timeoutSeconds);
    }
    // True once the peer's end of the connection (orderly or reset) is seen within the time.
    // Consumes any data that arrives before it.
    bool WaitPeerClosed(double timeoutSeconds = 10.0);

    // Message level (kep_test_support). Sends the header for message's type, then its body.
    bool SendMessage(KEPBasSocketMessage& message);
    // Receives one header and returns its type name; false on the end, a failure or the time-out.
    bool ReceiveType(std::string& type, double timeoutSeconds = 10.0);
    // Receives one message of a test type ("Text", "Fixed", "Blob"); null on failure or for
    // another type. The returned message may be !IsIntact().
    std::unique_ptr<SequencedMessage> ReceiveMessage(double timeoutSeconds = 10.0);

  private:
    int m_fd = -1;
};

// A new directory of its own under the system's temporary folder; the destructor removes it with
// everything in it.
class TempDirectory {
  public:
    TempDirectory();
    ~TempDirectory();
    TempDirectory(const TempDirectory&) = delete;
    TempDirectory& operator=(const TempDirectory&) = delete;

    const std::string& Path() const { return m_path; }
    std::string File(const std::string& name) const { return m_path + "/" + name; }

  private:
    std::string m_path;
};

// A socket bound to 127.0.0.1:port (0: the system chooses), listening when asked; closed on
// failure.
RawSocket BindLoopback(int port, bool listening);
// A client connected to 127.0.0.1:port with Nagle off, so small writes go out at once; closed
// on failure.
RawSocket RawConnect(int port);

// The two ends of one loopback connection (Nagle off); closed on failure.
struct RawPair {
    RawSocket local;
    RawSocket remote;
};
RawPair ConnectedPair();

// A listening loopback socket on a port chosen by the system.
class RawListener {
  public:
    RawListener();
    int Port() const { return m_port; }
    int Fd() const { return m_socket.Fd(); }
    bool IsOpen() const { return m_socket.IsOpen(); }
    // The next accepted connection (Nagle off), or a closed RawSocket after timeoutSeconds.
    RawSocket Accept(double timeoutSeconds = 10.0);

  private:
    RawSocket m_socket;
    int m_port = 0;
};

// A child process started with posix_spawn (CreateProcess on Windows), its stdout and stderr
// captured, or made with fork() to run a function (not on Windows). The destructor kills and
// reaps a child that is still running.
class ChildProcess {
  public:
    // arguments[0] is the program's path.
    explicit ChildProcess(std::vector<std::string> arguments);
    // A forked copy of this process that runs body and ends with _exit(its result) (1 when it
    // throws), so nothing of the test framework runs in it; its output is not captured.
#ifndef _WIN32
    explicit ChildProcess(const std::function<int()>& body);
#endif
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool Started() const {
        return m_pid > 0;
    }
    // The next stdout line matching the regular expression pattern, or "" after timeoutSeconds.
    std::string WaitForLine(const std::string& pattern, double timeoutSeconds = 15.0);
    // The exit status once the child ends; -1 when it was killed or still runs after the time.
    int Wait(double timeoutSeconds = 15.0);
    // Windows has no signals: the child is terminated with status 128 + number.
    void Signal(int number);
    const std::string& Out() const {
        return m_outText;
    }
    const std::string& Err() const {
        return m_errText;
    }

  private:
    // Reads what both pipes hold, waiting up to timeoutMs; false once both are closed.
    bool Drain(int timeoutMs);

#ifdef _WIN32
    // Handles of the process and of the read ends of its pipes.
    void* m_process = nullptr;
    void* m_outPipe = nullptr;
    void* m_errPipe = nullptr;
    int m_pid = -1;
#else
    pid_t m_pid = -1;
#endif
    int m_out = -1;
    int m_err = -1;
    int m_status = -1;
    std::string m_outText;
    std::string m_errText;
    std::size_t m_scanned = 0;
};

}  // namespace keptest

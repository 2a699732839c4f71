// The kepmsg tool across processes: serve with send and ping, and the promised error lines and
// exit statuses. Every wait has a deadline; a process still running at the end is killed.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "gtest/gtest.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kDeadline = std::chrono::seconds(15);

// A child process running kepmsg with its stdout and stderr captured.
class Tool {
  public:
    explicit Tool(std::vector<std::string> args) {
        args.insert(args.begin(), KEPMSG_TOOL_PATH);
        int out[2];
        int err[2];
        if (pipe(out) != 0 || pipe(err) != 0) {
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        posix_spawn_file_actions_addclose(&actions, err[0]);
        std::vector<char*> argv;
        for (std::string& arg : args) {
            argv.push_back(&arg[0]);
        }
        argv.push_back(nullptr);
        if (posix_spawn(&m_pid, KEPMSG_TOOL_PATH, &actions, nullptr, argv.data(), environ) != 0) {
            m_pid = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        close(err[1]);
        m_out = out[0];
        m_err = err[0];
        fcntl(m_out, F_SETFL, O_NONBLOCK);
        fcntl(m_err, F_SETFL, O_NONBLOCK);
    }

    ~Tool() {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        if (m_out >= 0) {
            close(m_out);
        }
        if (m_err >= 0) {
            close(m_err);
        }
    }

    bool Started() const { return m_pid > 0; }

    // Waits for the next stdout line matching pattern; the line, or "" at the deadline.
    std::string WaitForLine(const std::string& pattern) {
        const std::regex wanted(pattern);
        const Clock::time_point deadline = Clock::now() + kDeadline;
        for (;;) {
            std::size_t end;
            while ((end = m_outText.find('\n', m_scanned)) != std::string::npos) {
                std::string line = m_outText.substr(m_scanned, end - m_scanned);
                m_scanned = end + 1;
                if (std::regex_search(line, wanted)) {
                    return line;
                }
            }
            if (Clock::now() >= deadline || !Drain(50)) {
                return {};
            }
        }
    }

    // Waits for the process to end and returns its exit status (-1: killed or too slow).
    int Wait() {
        const Clock::time_point deadline = Clock::now() + kDeadline;
        while (m_pid > 0) {
            int status = 0;
            const pid_t done = waitpid(m_pid, &status, WNOHANG);
            if (done == m_pid) {
                m_pid = -1;
                while (Drain(0)) {
                }
                m_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
                break;
            }
            if (done < 0 || Clock::now() >= deadline) {
                break;
            }
            Drain(10);
        }
        return m_status;
    }

    void Signal(int number) {
        if (m_pid > 0) {
            kill(m_pid, number);
        }
    }

    const std::string& Out() const { return m_outText; }
    const std::string& Err() const { return m_errText; }

  private:
    // Reads what is available on both pipes, waiting up to timeoutMs; false once both are closed.
    bool Drain(int timeoutMs) {
        pollfd fds[2] = {{m_out, POLLIN, 0}, {m_err, POLLIN, 0}};
        if (poll(fds, 2, timeoutMs) < 0) {
            return false;
        }
        bool open = false;
        open |= ReadFrom(m_out, m_outText);
        open |= ReadFrom(m_err, m_errText);
        return open;
    }

    static bool ReadFrom(int& fd, std::string& text) {
        if (fd < 0) {
            return false;
        }
        char buffer[4096];
        for (;;) {
            const ssize_t n = read(fd, buffer, sizeof buffer);
            if (n > 0) {
                text.append(buffer, static_cast<std::size_t>(n));
                continue;
            }
            if (n == 0) {
                close(fd);
                fd = -1;
                return false;
            }
            return true;  // EAGAIN: still open, nothing more now
        }
    }

    pid_t m_pid = -1;
    int m_out = -1;
    int m_err = -1;
    int m_status = -1;
    std::string m_outText;
    std::string m_errText;
    std::size_t m_scanned = 0;
};

// Waits for kepmsg to end; returns its exit status, the output stays in tool.
int Finish(Tool& tool) {
    return tool.Started() ? tool.Wait() : -1;
}

int CountLines(const std::string& text) {
    int lines = 0;
    for (char c : text) {
        lines += c == '\n' ? 1 : 0;
    }
    return lines;
}

// A loopback TCP socket bound to a port the system chose; listening or not.
class ReservedPort {
  public:
    explicit ReservedPort(bool listening) {
        m_fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (m_fd < 0 || bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
            (listening && listen(m_fd, 1) != 0)) {
            return;
        }
        m_port = ntohs(address.sin_port);
    }
    ~ReservedPort() {
        if (m_fd >= 0) {
            close(m_fd);
        }
    }
    int Port() const { return m_port; }

  private:
    int m_fd = -1;
    int m_port = 0;
};

// Starts "kepmsg serve" with extra arguments and reads the port from its first line.
int StartServe(Tool& serve) {
    const std::string line = serve.WaitForLine("^listening on ");
    std::smatch match;
    if (!std::regex_search(line, match, std::regex("^listening on 127\\.0\\.0\\.1:([0-9]+)$"))) {
        return 0;
    }
    return std::stoi(match[1]);
}

TEST(KepmsgServeTest, SentTextIsPrintedWithTypeSizeAndSource) {
    Tool serve({"serve", "--port", "0", "--type", "demo.note"});
    const int port = StartServe(serve);
    ASSERT_GT(port, 0) << serve.Out() << serve.Err();

    Tool send(
        {"send", "--port", std::to_string(port), "--type", "demo.note", "--text", "hello there"});
    EXPECT_EQ(Finish(send), 0) << send.Err();
    EXPECT_NE(send.Out().find("sent type=demo.note size=11"), std::string::npos) << send.Out();

    const std::string line = serve.WaitForLine("^received ");
    EXPECT_TRUE(
        std::regex_search(line, std::regex("^received type=demo\\.note size=11 from=socket:[0-9]+ "
                                           "text=\"hello there\"$")))
        << line;

    serve.Signal(SIGTERM);
    EXPECT_EQ(serve.Wait(), 0) << serve.Err();
    EXPECT_NE(serve.Out().find("stopped after 1 message"), std::string::npos) << serve.Out();
    EXPECT_EQ(serve.Err(), "");
}

TEST(KepmsgServeTest, FileBytesArriveWholeAndInterruptStopsCleanly) {
    Tool serve({"serve"});
    const int port = StartServe(serve);
    ASSERT_GT(port, 0) << serve.Err();

    // Binary content larger than a socket buffer: arrives in many pieces.
    char path[] = "/tmp/kepmsg_test_XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    std::string content(3 * 1024 * 1024 + 17, '\0');
    for (std::size_t i = 0; i < content.size(); ++i) {
        content[i] = static_cast<char>(i * 131 + (i >> 11));
    }
    ASSERT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    close(fd);

    Tool send({"send", "--port", std::to_string(port), "--file", path});
    EXPECT_EQ(Finish(send), 0) << send.Err();
    unlink(path);

    const std::string line = serve.WaitForLine("^received ");
    EXPECT_TRUE(std::regex_search(
        line, std::regex("^received type=kepmsg\\.raw size=3145745 from=socket:[0-9]+$")))
        << line;
    serve.Signal(SIGINT);
    EXPECT_EQ(serve.Wait(), 0);
}

TEST(KepmsgServeTest, CountStopsAfterThatManyMessages) {
    Tool serve({"serve", "--count", "2"});
    const int port = StartServe(serve);
    ASSERT_GT(port, 0);
    for (const char* text : {"one", "two"}) {
        Tool send({"send", "--port", std::to_string(port), "--text", text});
        EXPECT_EQ(Finish(send), 0) << send.Err();
    }
    EXPECT_EQ(serve.Wait(), 0);
    EXPECT_NE(serve.Out().find("text=\"one\""), std::string::npos);
    EXPECT_NE(serve.Out().find("text=\"two\""), std::string::npos);
}

TEST(KepmsgPingTest, ReportsOrderedRoundTripStatistics) {
    Tool serve({"serve"});
    const int port = StartServe(serve);
    ASSERT_GT(port, 0);

    Tool ping({"ping", "--port", std::to_string(port), "--count", "25"});
    ASSERT_EQ(Finish(ping), 0) << ping.Err();
    std::smatch match;
    const std::string out = ping.Out();
    ASSERT_TRUE(std::regex_search(out, match,
                                  std::regex("^count 25 min ([0-9.]+) ms median ([0-9.]+) ms "
                                             "p99 ([0-9.]+) ms\n$")))
        << out;
    const double min = std::stod(match[1]);
    const double median = std::stod(match[2]);
    const double p99 = std::stod(match[3]);
    EXPECT_LE(min, median);
    EXPECT_LE(median, p99);
    EXPECT_NE(serve.WaitForLine("^received type=kepmsg\\.ping size=12 .* seq=24$"), "");
}

TEST(KepmsgErrorTest, RefusedConnectionGivesOneLineWithTheConnectError) {
    // Bound but not listening: connections to it are refused, and nobody else can take it.
    ReservedPort closedPort(false);
    ASSERT_GT(closedPort.Port(), 0);
    Tool send(
        {"send", "--port", std::to_string(closedPort.Port()), "--timeout", "0", "--text", "x"});
    EXPECT_EQ(Finish(send), 2);
    EXPECT_EQ(CountLines(send.Err()), 1) << send.Err();
    EXPECT_EQ(send.Err(),
              "kepmsg send: cannot connect to 127.0.0.1:" + std::to_string(closedPort.Port()) +
                  ": WSAECONNREFUSED (10061) Connection refused.\n");

    Tool ping({"ping", "--port", std::to_string(closedPort.Port()), "--timeout", "1"});
    EXPECT_EQ(Finish(ping), 2);
    EXPECT_NE(ping.Err().find("WSAECONNREFUSED (10061)"), std::string::npos) << ping.Err();
}

TEST(KepmsgErrorTest, UnresolvableHostGivesTheResolverText) {
    Tool send({"send", "--host", "nosuch.invalid", "--port", "9", "--text", "x"});
    EXPECT_EQ(Finish(send), 2);
    EXPECT_EQ(CountLines(send.Err()), 1) << send.Err();
    // Without a network the resolver may say "try again" instead of "not found".
    EXPECT_TRUE(std::regex_search(
        send.Err(), std::regex("^kepmsg send: cannot resolve host 'nosuch\\.invalid': "
                               "WSA[A-Z_]+ \\(110[0-9][0-9]\\) .+\\.\n$")))
        << send.Err();
}

TEST(KepmsgErrorTest, BadArgumentsAreUsageErrors) {
    const std::vector<std::vector<std::string>> cases = {
        {"send", "--port", "70000", "--text", "x"},
        {"send", "--port", "abc", "--text", "x"},
        {"send", "--port", "1", "--text", "x", "--file", "/dev/null"},
        {"send", "--text", "x"},
        {"ping", "--port", "1", "--count", "0"},
        {"serve", "--ports", "5000-4999"},
        {"serve", "--port", "-1"},
        {"serve", "--bogus", "1"},
        {"frobnicate"},
        {},
    };
    for (const auto& args : cases) {
        Tool tool(args);
        EXPECT_EQ(Finish(tool), 1) << args.size();
        EXPECT_EQ(CountLines(tool.Err()), 1) << tool.Err();
        EXPECT_EQ(tool.Err().rfind("kepmsg", 0), 0u) << tool.Err();
    }
}

TEST(KepmsgErrorTest, PortInUseGivesListenFailure) {
    ReservedPort taken(true);
    ASSERT_GT(taken.Port(), 0);
    Tool serve({"serve", "--port", std::to_string(taken.Port())});
    EXPECT_EQ(Finish(serve), 3);
    EXPECT_EQ(serve.Err(),
              "kepmsg serve: cannot listen on 127.0.0.1:" + std::to_string(taken.Port()) +
                  ": WSAEADDRINUSE (10048) Address already in use.\n");
}

TEST(KepmsgErrorTest, UnreadableFileGivesInputFailure) {
    Tool send({"send", "--port", "1", "--file", "/nonexistent/kepmsg/input"});
    EXPECT_EQ(Finish(send), 5);
    EXPECT_EQ(CountLines(send.Err()), 1) << send.Err();
}

TEST(KepmsgHelpTest, EveryCommandExplainsItself) {
    for (const char* command : {"serve", "send", "ping"}) {
        Tool tool({command, "--help"});
        EXPECT_EQ(Finish(tool), 0);
        EXPECT_EQ(tool.Out().rfind(std::string("usage: kepmsg ") + command, 0), 0u) << tool.Out();
    }
    Tool help({"--help"});
    EXPECT_EQ(Finish(help), 0);
    EXPECT_NE(help.Out().find("Exit status"), std::string::npos);
}

}  // namespace

#include "Runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <sstream>

#include "BenchCommon.h"

extern char** environ;

namespace kepbench {

namespace {

// A started peer: its pid and the read end of its standard output, closed by Finish.
struct Peer {
    pid_t pid = -1;
    int out = -1;
    std::string pending;
};

Peer Spawn(const std::vector<std::string>& args) {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0)
        Fail("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    std::vector<std::string> all = {"/proc/self/exe", "--peer"};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : all)
        argv.push_back(&arg[0]);
    argv.push_back(nullptr);
    Peer peer;
    if (posix_spawn(&peer.pid, "/proc/self/exe", &actions, nullptr, argv.data(), environ) != 0) {
        Fail("posix_spawn");
    }
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    peer.out = pipeFds[0];
    return peer;
}

// The next line the peer prints, or "" at its end or after the deadline.
std::string ReadLine(Peer& peer, double timeoutSeconds = kPeerDeadlineSeconds) {
    const std::int64_t deadline = DeadlineAfter(timeoutSeconds);
    for (;;) {
        const std::size_t newline = peer.pending.find('\n');
        if (newline != std::string::npos) {
            std::string line = peer.pending.substr(0, newline);
            peer.pending.erase(0, newline + 1);
            return line;
        }
        const std::int64_t left = deadline - NowNs();
        if (left <= 0)
            return "";
        pollfd pfd{peer.out, POLLIN, 0};
        if (poll(&pfd, 1, static_cast<int>(left / 1000000) + 1) <= 0)
            continue;
        char buffer[512];
        ssize_t got = read(peer.out, buffer, sizeof buffer);
        if (got <= 0)
            return "";
        peer.pending.append(buffer, static_cast<std::size_t>(got));
    }
}

// Waits for the peer's exit; kills it (by its pid) when it overstays.
bool Finish(Peer& peer) {
    const std::int64_t deadline = DeadlineAfter(10);
    int status = 0;
    for (;;) {
        pid_t done = waitpid(peer.pid, &status, WNOHANG);
        if (done == peer.pid)
            break;
        if (NowNs() > deadline) {
            kill(peer.pid, SIGKILL);
            waitpid(peer.pid, &status, 0);
            break;
        }
        usleep(1000);
    }
    close(peer.out);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::vector<long long> Numbers(const std::string& line) {
    std::istringstream in(line);
    std::string word;
    in >> word;
    std::vector<long long> numbers;
    long long value;
    while (in >> value)
        numbers.push_back(value);
    return numbers;
}

bool IsScale(const std::string& impl) {
    return impl.rfind("scale", 0) == 0;
}

}  // namespace

double RunThroughput(const std::string& receiver, const std::string& sender, int size,
                     const Options& options, double* nsPerMessage) {
    Peer recv = Spawn({IsScale(receiver) ? "scalerecv" : "recv",
                       IsScale(receiver) ? receiver.substr(5) : receiver, std::to_string(size)});
    const std::string portLine = ReadLine(recv, 10);
    if (portLine.rfind("PORT ", 0) != 0) {
        Finish(recv);
        return 0;
    }
    const std::string port = portLine.substr(5);
    Peer send =
        Spawn({IsScale(sender) ? "scalesend" : "send", IsScale(sender) ? sender.substr(5) : sender,
               std::to_string(size), port, std::to_string(options.seconds)});
    const std::vector<long long> start = Numbers(ReadLine(send));
    const std::vector<long long> end = Numbers(ReadLine(recv));
    const bool sendOk = Finish(send);
    const bool recvOk = Finish(recv);
    if (start.empty() || end.size() < 3 || end[2] != 1 || !sendOk || !recvOk) {
        std::fprintf(stderr, "  run %s -> %s (%d B) failed\n", sender.c_str(), receiver.c_str(),
                     size);
        return 0;
    }
    const double seconds = static_cast<double>(end[0] - start[0]) / 1e9;
    if (nsPerMessage != nullptr && end.size() >= 5 && end[1] > 0) {
        *nsPerMessage = static_cast<double>(end[3]) / static_cast<double>(end[1]);
    }
    return static_cast<double>(end[1]) / seconds;
}

bool RunPingPong(const std::string& echo, const std::string& ping, int size, const Options& options,
                 double& median, double& p99) {
    Peer echoPeer = Spawn({"echo", echo, std::to_string(size)});
    const std::string portLine = ReadLine(echoPeer, 10);
    if (portLine.rfind("PORT ", 0) != 0) {
        Finish(echoPeer);
        return false;
    }
    Peer pingPeer = Spawn(
        {"ping", ping, std::to_string(size), portLine.substr(5), std::to_string(options.pings)});
    const std::vector<long long> rtt = Numbers(ReadLine(pingPeer));
    const bool pingOk = Finish(pingPeer);
    const bool echoOk = Finish(echoPeer);
    if (rtt.size() < 2 || !pingOk || !echoOk) {
        std::fprintf(stderr, "  ping-pong %s failed\n", ping.c_str());
        return false;
    }
    median = static_cast<double>(rtt[0]) / 1000.0;
    p99 = static_cast<double>(rtt[1]) / 1000.0;
    return true;
}

std::vector<long long> RunAlone(const std::string& role, const std::string& impl) {
    Peer peer = Spawn({role, impl, "0"});
    const std::vector<long long> numbers = Numbers(ReadLine(peer));
    if (!Finish(peer)) {
        std::fprintf(stderr, "  %s %s failed\n", role.c_str(), impl.c_str());
        return {};
    }
    return numbers;
}

}  // namespace kepbench

// Loopback helpers for the socket tests: owning pointers that shut sockets down, a connected
// pair made through a listening socket on port 0, scoped environment variables and I/O
// time-outs, and a deadline wait.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "sockets/KEPMsgCommSocket.h"
#include "sockets/KEPMsgServerSocket.h"

namespace keptest {

struct ShutdownDeleter {
    void operator()(KEPMsgSocket* socket) const {
        socket->Shutdown();
        delete socket;
    }
};
using CommSocketPtr = std::unique_ptr<KEPMsgCommSocket, ShutdownDeleter>;
using ServerSocketPtr = std::unique_ptr<KEPMsgServerSocket, ShutdownDeleter>;

inline KEPMsgSocketAddress Address(const char* host, int port) {
    return KEPMsgSocketAddress(KEPMsgInetAddress(KEPString(host)), port);
}

inline ServerSocketPtr Listen(const char* host = "", int port = 0) {
    return ServerSocketPtr(new KEPMsgServerSocket(Address(host, port), 5));
}

// A listening socket, a client connected to it and the server's end of that connection.
struct LoopbackPair {
    ServerSocketPtr server;
    CommSocketPtr client;
    CommSocketPtr accepted;
};

inline LoopbackPair Connected() {
    LoopbackPair pair;
    pair.server = Listen();
    EXPECT_FALSE(pair.server->IsClosed()) << "listen failed: " << pair.server->GetErrorCode();
    pair.client.reset(new KEPMsgCommSocket(Address("", 0)));
    pair.client->Connect(Address("", pair.server->GetAddress().GetPort()));
    EXPECT_TRUE(pair.client->IsConnected()) << "connect failed: " << pair.client->GetErrorCode();
    // The connection is complete in the backlog once Connect returns, so this does not block.
    pair.accepted.reset(pair.server->Accept());
    EXPECT_NE(pair.accepted, nullptr) << "accept failed: " << pair.server->GetErrorCode();
    return pair;
}

// True when descriptor is an open descriptor of this process.
inline bool IsOpenDescriptor(int descriptor) {
    return ::fcntl(descriptor, F_GETFD) != -1;
}

// Polls condition every millisecond until it holds or ten seconds pass.
template <class Condition>
bool WaitFor(Condition condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Sets (or removes, for a null value) an environment variable for a scope.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const char* value) : m_name(name) {
        const char* old = std::getenv(name);
        m_hadOld = old != nullptr;
        if (m_hadOld) {
            m_old = old;
        }
        if (value != nullptr) {
            ::setenv(name, value, 1);
        } else {
            ::unsetenv(name);
        }
    }
    ~ScopedEnv() {
        if (m_hadOld) {
            ::setenv(m_name.c_str(), m_old.c_str(), 1);
        } else {
            ::unsetenv(m_name.c_str());
        }
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    std::string m_name;
    std::string m_old;
    bool m_hadOld = false;
};

// Sets the process-wide I/O time-out for a scope.
class ScopedIoTimeout {
  public:
    explicit ScopedIoTimeout(int milliseconds) : m_old(KEPMsgSocket::GetIoTimeout()) {
        KEPMsgSocket::SetIoTimeout(milliseconds);
    }
    ~ScopedIoTimeout() { KEPMsgSocket::SetIoTimeout(m_old); }
    ScopedIoTimeout(const ScopedIoTimeout&) = delete;
    ScopedIoTimeout& operator=(const ScopedIoTimeout&) = delete;

  private:
    int m_old;
};

}  // namespace keptest

// Library-level loopback helpers for the tests of the sockets layer and above: addresses,
// owning pointers that shut sockets down, a connected pair made through a listening socket on
// port 0, and scoped environment variables and I/O time-outs. The raw POSIX side is in
// tests/support/KEPTestNet.h.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "platform/KEPWinsock.h"
#include "sockets/KEPMsgCommSocket.h"
#include "sockets/KEPMsgServerSocket.h"
#include "tests/support/KEPTestFaults.h"
#include "tests/support/KEPTestNet.h"

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

inline KEPMsgSocketAddress LoopbackAddress(int port) {
    return Address("127.0.0.1", port);
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

// Sets (or removes, for a null value) an environment variable for a scope.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const char* value) : m_name(name) {
        if (const char* old = std::getenv(name)) {
            m_old.reset(new std::string(old));
        }
        Set(value);
    }
    ~ScopedEnv() { Set(m_old ? m_old->c_str() : nullptr); }

  private:
    void Set(const char* value) {
#ifdef _WIN32
        ::_putenv_s(m_name.c_str(), value != nullptr ? value : "");  // "" removes it
#else
        value != nullptr ? ::setenv(m_name.c_str(), value, 1) : ::unsetenv(m_name.c_str());
#endif
    }
    std::string m_name;
    std::unique_ptr<std::string> m_old;  // null: the variable was not set
};

// Sets the process-wide I/O time-out for a scope.
struct ScopedIoTimeout {
    explicit ScopedIoTimeout(int milliseconds) { KEPMsgSocket::SetIoTimeout(milliseconds); }
    ~ScopedIoTimeout() { KEPMsgSocket::SetIoTimeout(m_old); }
    const int m_old = KEPMsgSocket::GetIoTimeout();
};

}  // namespace keptest

// Loopback connections for the channel tests.
//
// ChannelSocketsTest makes real TCP connections over 127.0.0.1 (a listener bound to port 0):
// the library's end is wrapped in a KEPMsgCommSocket and entered in the connection table, the
// test keeps the peer descriptor to write into. TearDown shuts the organizer down, removes
// every connection a test made (or the wait accepted) and checks that none is left.
#pragma once

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "channels/KEPMsgChannel.h"
#include "channels/KEPMsgChannelOrganizer.h"
#include "connection/KEPMsgConnectionServicesUtils.h"
#include "sockets/KEPMsgCommSocket.h"
#include "sockets/KEPMsgServerSocket.h"

namespace kep_channel_test {

// Owns a descriptor of the test's side.
class Descriptor {
  public:
    explicit Descriptor(int fd = -1) : m_fd(fd) {}
    Descriptor(Descriptor&& other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }
    Descriptor& operator=(Descriptor&& other) noexcept {
        if (this != &other) {
            Reset();
            m_fd = other.m_fd;
            other.m_fd = -1;
        }
        return *this;
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() { Reset(); }
    int get() const { return m_fd; }
    void Reset() {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
        m_fd = -1;
    }

  private:
    int m_fd;
};

inline sockaddr_in Loopback(unsigned short port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

// The port a bound descriptor listens on.
inline unsigned short BoundPort(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof(address);
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        return 0;
    }
    return ntohs(address.sin_port);
}

// A client descriptor connected to 127.0.0.1:port (the connection may still wait in the
// listener's queue), or -1.
inline int ConnectTo(unsigned short port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        return -1;
    }
    sockaddr_in address = Loopback(port);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// True when fd becomes readable within timeoutMs.
inline bool Readable(int fd, int timeoutMs) {
    pollfd entry{fd, POLLIN, 0};
    return ::poll(&entry, 1, timeoutMs) == 1 && (entry.revents & POLLIN) != 0;
}

// Raises the soft descriptor limit to at least wanted; false when the hard limit forbids it.
inline bool EnsureDescriptorLimit(rlim_t wanted) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return false;
    }
    if (limit.rlim_cur >= wanted) {
        return true;
    }
    if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < wanted) {
        return false;
    }
    limit.rlim_cur = wanted;
    return ::setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

// Runs call on another thread and returns true when it finishes within a generous deadline.
// A call that blocks for good (a deadlock, a wait that ignores its time-out) aborts the
// program with a message instead of hanging until the ctest watchdog.
template <class Call>
bool FinishesWithinDeadline(Call call) {
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> finished = done->get_future();
    std::thread([call, done]() mutable {
        call();
        done->set_value();
    }).detach();
    if (finished.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
        std::fprintf(stderr, "call did not finish within 10 s: blocked for good\n");
        std::abort();
    }
    return true;
}

class ChannelSocketsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_listener = Descriptor(::socket(AF_INET, SOCK_STREAM, 0));
        ASSERT_GE(m_listener.get(), 0);
        sockaddr_in address = Loopback(0);
        ASSERT_EQ(::bind(m_listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)),
                  0);
        ASSERT_EQ(::listen(m_listener.get(), 128), 0);
        m_port = BoundPort(m_listener.get());
        ASSERT_NE(m_port, 0);
    }

    void TearDown() override {
        KEPMsgChannelOrganizer::Instance().Shutdown();
        KEPMsgChannelWaitable& current = KEPMsgChannelOrganizer::Instance().GetCurrentWaitable();
        current.Listen().Clear();
        current.NewlyCreated().Clear();
        current.SetListenInterrupted(false);
        KEPMsgConnectionServicesUtils& services = KEPMsgConnectionServicesUtils::Instance();
        for (int id : m_ids) {
            services.ShutDownConnection(id);
        }
        for (int id : m_ids) {
            EXPECT_EQ(services.GetSocket(id), nullptr) << "connection " << id << " left behind";
        }
    }

    // A connected descriptor pair over loopback: the library's end is returned (or -1), the
    // test's end goes to client.
    int ConnectRaw(Descriptor& client) {
        client = Descriptor(ConnectTo(m_port));
        EXPECT_GE(client.get(), 0);
        int accepted = ::accept(m_listener.get(), nullptr, nullptr);
        EXPECT_GE(accepted, 0);
        if (client.get() < 0 && accepted >= 0) {
            ::close(accepted);
            return -1;
        }
        return client.get() < 0 ? -1 : accepted;
    }

    // A new connection in the table and a channel on it labelled label; the peer descriptor
    // stays with the test (PeerOf).
    KEPMsgChannel Connect(const KEPString& label) {
        Descriptor client;
        int accepted = ConnectRaw(client);
        if (accepted < 0) {
            return KEPMsgChannel();
        }
        KEPMsgCommSocket* socket = new KEPMsgCommSocket(
            KEPMsgSocketAddress(KEPMsgInetAddress(KEPString("127.0.0.1")), m_port), accepted);
        EXPECT_TRUE(KEPMsgConnectionServicesUtils::Instance().AddConnection(socket));
        Track(socket->GetId());
        m_peers.emplace_back(socket->GetId(), std::move(client));
        return KEPMsgChannel(socket, label);
    }

    // A listening socket on 127.0.0.1, port chosen by the system, in the table; its channel.
    KEPMsgChannel StartServer(const KEPString& label) {
        KEPMsgServerSocket* server = KEPMsgConnectionServicesUtils::Instance().StartServer(
            KEPMsgSocketAddress(KEPMsgInetAddress(KEPString("127.0.0.1")), 0), 16);
        EXPECT_NE(server, nullptr);
        if (server == nullptr) {
            return KEPMsgChannel();
        }
        Track(server->GetId());
        return KEPMsgChannel(server, label);
    }

    // The test's end of channel's connection.
    int PeerOf(const KEPMsgChannel& channel) const {
        for (const auto& peer : m_peers) {
            if (peer.first == channel.GetSocketId()) {
                return peer.second.get();
            }
        }
        return -1;
    }

    // Writes one byte from the peer side and waits until the library's end has it.
    void SendByte(const KEPMsgChannel& channel) {
        char byte = 'w';
        ASSERT_EQ(::send(PeerOf(channel), &byte, 1, MSG_NOSIGNAL), 1);
        ASSERT_TRUE(Readable(channel.GetSocketId(), 10000));
    }

    // Removes the connection under id in TearDown (for connections the wait accepted).
    void Track(int id) { m_ids.push_back(id); }

    unsigned short m_port = 0;

  private:
    Descriptor m_listener;
    std::vector<std::pair<int, Descriptor>> m_peers;
    std::vector<int> m_ids;
};

// The socket ids of list, in order.
inline std::vector<int> Ids(const KEPBasVector<KEPMsgChannel>& list) {
    std::vector<int> ids;
    for (int i = 0; i < list.size(); ++i) {
        ids.push_back(list[i].GetSocketId());
    }
    return ids;
}

}  // namespace kep_channel_test

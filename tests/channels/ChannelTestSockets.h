// Loopback connections for the channel tests.
//
// ChannelSocketsTest makes real TCP connections over 127.0.0.1: the library's end is wrapped in
// a KEPMsgCommSocket and entered in the connection table, the test keeps the peer to write
// into. TearDown shuts the organizer down and removes every connection a test made (or the wait
// accepted).
#pragma once

#include <gtest/gtest.h>

#include <map>

#include "channels/KEPMsgChannelOrganizer.h"
#include "channels/KEPMsgChannelQueryByLabel.h"
#include "channels/KEPMsgWaitableLock.h"
#include "connection/KEPMsgConnectionServicesUtils.h"
#include "tests/sockets/SocketTestSupport.h"

namespace keptest {

class ChannelSocketsTest : public ::testing::Test {
  protected:
    // Made now, as module start-up does: its wake-up descriptors must not take a number that a
    // test closes and reuses.
    void SetUp() override {
        KEPMsgWaitableLock::Instance();
        ASSERT_TRUE(m_listener.IsOpen());
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
    }

    // A new connection in the table and a channel on it labelled label.
    KEPMsgChannel Connect(const KEPString& label) {
        RawSocket client = RawConnect(m_listener.Port());
        RawSocket accepted = m_listener.Accept();
        if (!client.IsOpen() || !accepted.IsOpen()) {
            ADD_FAILURE() << "no loopback connection";
            return KEPMsgChannel();
        }
        auto* socket = new KEPMsgCommSocket(LoopbackAddress(m_listener.Port()), accepted.Release());
        EXPECT_TRUE(KEPMsgConnectionServicesUtils::Instance().AddConnection(socket));
        Track(socket->GetId());
        m_peers[socket->GetId()] = std::move(client);
        return KEPMsgChannel(socket, label);
    }

    // The test's end of channel's connection.
    int PeerOf(const KEPMsgChannel& channel) { return m_peers[channel.GetSocketId()].Fd(); }

    // Writes bytes from the peer side and waits until the library's end has them.
    void SendBytes(const KEPMsgChannel& channel, const std::string& bytes = "w") {
        ASSERT_TRUE(m_peers[channel.GetSocketId()].SendBytes(bytes));
        ASSERT_TRUE(WaitReadable(channel.GetSocketId(), 10));
    }

    // Removes the connection under id in TearDown (for servers and the connections the wait
    // accepted).
    void Track(int id) { m_ids.push_back(id); }

    RawListener m_listener;

  private:
    std::map<int, RawSocket> m_peers;
    std::vector<int> m_ids;
};

// A channel list with the given entries, in order.
inline KEPBasVector<KEPMsgChannel> List(std::initializer_list<KEPMsgChannel> channels) {
    KEPBasVector<KEPMsgChannel> list;
    for (const KEPMsgChannel& channel : channels) {
        list.push_back(channel);
    }
    return list;
}

// The socket ids of list, in order.
inline std::vector<int> Ids(const KEPBasVector<KEPMsgChannel>& list) {
    std::vector<int> ids;
    for (int i = 0; i < list.size(); ++i) {
        ids.push_back(list[i].GetSocketId());
    }
    return ids;
}

}  // namespace keptest

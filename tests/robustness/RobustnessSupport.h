// Helpers shared by the robustness tests: a fixture that sets up the messaging singletons with a
// short socket I/O time-out (restored afterwards), and raw wire bytes of "Text" messages.
//
// Everything here runs on the test's thread unless a test says otherwise; the fixture leaves
// the singletons finalized and the time-out at its default.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>

#include "connection/KEPMsgConnectionServicesUtils.h"
#include "messaging/KEPMsgSocketCommunicator.h"
#include "tests/support/KEPTestMessaging.h"

namespace keptest {

constexpr int kDefaultIoTimeoutMs = 30000;

// The messaging singletons with the test prototypes and default streams, and an I/O time-out of
// ioTimeoutMs for every socket connected or accepted during the test.
class RobustnessTest : public ::testing::Test {
  protected:
    explicit RobustnessTest(int ioTimeoutMs = 300) : m_ioTimeoutMs(ioTimeoutMs) {}
    void SetUp() override {
        KEPMsgConnectionServicesUtils::Instance().SetIoTimeout(m_ioTimeoutMs);
        m_setup.reset(new MessagingSetup());
    }
    void TearDown() override {
        m_setup.reset();
        KEPMsgConnectionServicesUtils::Instance().SetIoTimeout(kDefaultIoTimeoutMs);
    }

    static KEPMsgSocketCommunicator& Communicator() { return KEPMsgSocketCommunicator::Instance(); }
    static KEPMsgConnectionServicesUtils& Services() {
        return KEPMsgConnectionServicesUtils::Instance();
    }

    int m_ioTimeoutMs;
    std::unique_ptr<MessagingSetup> m_setup;
};

// A header whose count field is count, without a name.
inline std::string CountOnly(std::uint32_t count) {
    return std::string(reinterpret_cast<const char*>(&count), 4);
}

// The body bytes of a "Text" message (sequence, length, text).
inline std::string TextBody(std::uint32_t sequence, const std::string& text) {
    const std::uint32_t length = static_cast<std::uint32_t>(text.size());
    return std::string(reinterpret_cast<const char*>(&sequence), 4) +
           std::string(reinterpret_cast<const char*>(&length), 4) + text;
}

inline std::string TextWire(std::uint32_t sequence, const std::string& text) {
    return HeaderBytes("Text") + TextBody(sequence, text);
}

}  // namespace keptest

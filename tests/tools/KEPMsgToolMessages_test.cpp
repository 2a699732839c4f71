// Bodies of the tool's message classes and the statistics of ping, without sockets: memory
// streams stand in for a connection, and can hand bytes out one at a time or stop early.
#include "tools/KEPMsgToolMessages.h"

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "tools/KEPMsgToolSupport.h"

namespace {

class MemoryOutput : public KEPBasOutputStream {
  public:
    explicit MemoryOutput(int maxPerCall = 1 << 30) : m_maxPerCall(maxPerCall) {}
    bool write(void* data, int length, int& written) override {
        // Accepts at most m_maxPerCall bytes per call, like a bounded send.
        const int n = std::min(length, m_maxPerCall);
        bytes.append(static_cast<const char*>(data), static_cast<std::size_t>(n));
        written += n;
        return true;
    }
    std::string bytes;

  private:
    int m_maxPerCall;
};

class MemoryInput : public KEPBasInputStream {
  public:
    MemoryInput(std::string bytes, int maxPerRead) : m_bytes(std::move(bytes)), m_max(maxPerRead) {}
    bool read(void* buffer, int length, int& got) override {
        const std::size_t left = m_bytes.size() - m_position;
        got = static_cast<int>(std::min<std::size_t>(
            {left, static_cast<std::size_t>(length), static_cast<std::size_t>(m_max)}));
        std::copy_n(m_bytes.data() + m_position, got, static_cast<char*>(buffer));
        m_position += static_cast<std::size_t>(got);
        return true;  // got == 0 at the end: the peer closed
    }

  private:
    std::string m_bytes;
    std::size_t m_position = 0;
    int m_max;
};

TEST(KEPMsgToolMessagesTest, RawBodyIsLengthThenBytesLittleEndian) {
    KEPMsgToolRawMessage message("t", std::string("ab\0c", 4));
    MemoryOutput out;
    ASSERT_TRUE(message.WriteBody(&out));
    EXPECT_EQ(out.bytes, std::string("\x04\x00\x00\x00"
                                     "ab\0c",
                                     8));
}

TEST(KEPMsgToolMessagesTest, ShortWritesAreReportedAsFailure) {
    // A stream that sends fewer bytes than asked must not pass for a whole body.
    KEPMsgToolRawMessage message("t", "hello");
    MemoryOutput out(2);
    EXPECT_FALSE(message.WriteBody(&out));
}

TEST(KEPMsgToolMessagesTest, RawBodyReadOneByteAtATimeIsWhole) {
    KEPMsgToolRawMessage sent("custom.type", std::string(100000, 'x') + "end");
    MemoryOutput out;
    ASSERT_TRUE(sent.WriteBody(&out));
    MemoryInput in(out.bytes + "next header", 1);
    std::unique_ptr<KEPBasSocketMessage> made(KEPMsgToolRawMessage("custom.type").CreateInstance());
    auto* received = static_cast<KEPMsgToolRawMessage*>(made.get());
    ASSERT_TRUE(received->ReadBody(&in));
    EXPECT_TRUE(received->IsValid());
    EXPECT_EQ(received->Body(), sent.Body());
    EXPECT_STREQ(received->GetMessageType().GetUTF8(), "custom.type");
}

TEST(KEPMsgToolMessagesTest, TruncatedRawBodyIsInvalid) {
    KEPMsgToolRawMessage sent("t", "0123456789");
    MemoryOutput out;
    ASSERT_TRUE(sent.WriteBody(&out));
    MemoryInput in(out.bytes.substr(0, out.bytes.size() - 3), 4);
    KEPMsgToolRawMessage received("t");
    EXPECT_FALSE(received.ReadBody(&in));
    EXPECT_FALSE(received.IsValid());
}

TEST(KEPMsgToolMessagesTest, OversizedLengthIsRefusedWithoutAllocating) {
    MemoryInput in(std::string("\xff\xff\xff\xff", 4) + "abc", 64);
    KEPMsgToolRawMessage received("t");
    EXPECT_FALSE(received.ReadBody(&in));
    EXPECT_FALSE(received.IsValid());
    EXPECT_TRUE(received.Body().empty());
}

TEST(KEPMsgToolMessagesTest, PingSurvivesSplitReadsAndPongEchoesIt) {
    KEPMsgToolPingMessage ping(0xA1B2C3D4u, 0x0102030405060708ull);
    MemoryOutput out;
    ASSERT_TRUE(ping.WriteBody(&out));
    ASSERT_EQ(out.bytes.size(), 12u);
    EXPECT_EQ(static_cast<unsigned char>(out.bytes[0]), 0xD4);
    MemoryInput in(out.bytes, 5);
    KEPMsgToolPingMessage received;
    ASSERT_TRUE(received.ReadBody(&in));
    EXPECT_EQ(received.Sequence(), 0xA1B2C3D4u);
    EXPECT_EQ(received.Stamp(), 0x0102030405060708ull);
    EXPECT_STREQ(KEPMsgToolPongMessage().GetMessageType().GetUTF8(), kepmsgtool::kPongType);
    EXPECT_STREQ(received.GetMessageType().GetUTF8(), kepmsgtool::kPingType);
}

TEST(KEPMsgToolSupportTest, SummaryUsesNearestRankPercentile) {
    std::vector<double> samples;
    for (int i = 100; i >= 1; --i) {
        samples.push_back(i);
    }
    const kepmsgtool::Summary summary = kepmsgtool::Summarize(samples);
    EXPECT_EQ(summary.count, 100u);
    EXPECT_EQ(summary.min, 1);
    EXPECT_EQ(summary.median, 50.5);
    EXPECT_EQ(summary.p99, 99);

    const kepmsgtool::Summary one = kepmsgtool::Summarize({7});
    EXPECT_EQ(one.min, 7);
    EXPECT_EQ(one.median, 7);
    EXPECT_EQ(one.p99, 7);
    EXPECT_EQ(kepmsgtool::Summarize({}).count, 0u);
}

TEST(KEPMsgToolSupportTest, EndpointBracketsIpv6) {
    EXPECT_EQ(kepmsgtool::FormatEndpoint("::1", 80), "[::1]:80");
    EXPECT_EQ(kepmsgtool::FormatEndpoint("", 5), "127.0.0.1:5");
}

}  // namespace

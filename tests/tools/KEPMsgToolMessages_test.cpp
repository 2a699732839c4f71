// Bodies of the tool's message classes and the statistics of ping, without sockets: memory
// streams stand in for a connection, and can hand bytes out one at a time or stop early.
#include "tools/KEPMsgToolMessages.h"

#include <numeric>

#include "gtest/gtest.h"
#include "tools/KEPMsgToolSupport.h"

namespace {

// A body in memory: writes append, reads consume, at most maxPerCall bytes per call either
// way (like a bounded send, or a read of what has arrived); a read at the end gets 0 bytes, as
// when the peer closed.
class MemoryStream : public KEPBasOutputStream, public KEPBasInputStream {
  public:
    explicit MemoryStream(std::string initial = "", int maxPerCall = 1 << 30)
        : bytes(std::move(initial)), m_max(maxPerCall) {}
    bool write(void* data, int length, int& written) override {
        const int n = std::min(length, m_max);
        bytes.append(static_cast<const char*>(data), static_cast<std::size_t>(n));
        written += n;
        return true;
    }
    bool read(void* buffer, int length, int& got) override {
        got = std::min({static_cast<int>(bytes.size() - m_at), length, m_max});
        std::copy_n(bytes.data() + m_at, got, static_cast<char*>(buffer));
        m_at += static_cast<std::size_t>(got);
        return true;
    }
    std::string bytes;

  private:
    std::size_t m_at = 0;
    int m_max;
};

// A raw body is its length, then its bytes; a short write fails. A body read in pieces of any
// size is whole; a truncated one or a length above the limit is refused (without allocating)
// and leaves the message invalid. A ping body survives split reads.
TEST(KEPMsgToolMessagesTest, RawBodyIsLengthThenBytesReadWholeOrRefusedAndPingSurvivesSplits) {
    const std::string body("ab\0c", 4);
    MemoryStream out;
    ASSERT_TRUE(KEPMsgToolRawMessage("t", body).WriteBody(&out));
    EXPECT_EQ(out.bytes, std::string("\4\0\0\0ab\0c", 8));
    MemoryStream shortOut("", 2);  // sends fewer bytes than asked: not a whole body
    EXPECT_FALSE(KEPMsgToolRawMessage("t", body).WriteBody(&shortOut));
    const struct {
        const char* name;
        std::string bytes;
        int maxPerRead;
        bool whole;
    } rows[] = {{"one byte at a time", out.bytes + "next header", 1, true},
                {"truncated", out.bytes.substr(0, out.bytes.size() - 1), 4096, false},
                {"oversized length", std::string("\xff\xff\xff\xff", 4) + "abc", 64, false}};
    for (const auto& row : rows) {
        std::unique_ptr<KEPBasSocketMessage> made(KEPMsgToolRawMessage("t").CreateInstance());
        auto* received = static_cast<KEPMsgToolRawMessage*>(made.get());
        MemoryStream in(row.bytes, row.maxPerRead);
        EXPECT_EQ(received->ReadBody(&in), row.whole) << row.name;
        EXPECT_EQ(received->IsValid(), row.whole) << row.name;
        EXPECT_EQ(received->Body(), row.whole ? body : "") << row.name;
        EXPECT_STREQ(received->GetMessageType().GetUTF8(), "t") << row.name;
    }

    KEPMsgToolPingMessage ping(0xA1B2C3D4u, 0x0102030405060708ull);
    MemoryStream pingOut;
    ASSERT_TRUE(ping.WriteBody(&pingOut));
    ASSERT_EQ(pingOut.bytes.size(), 12u);
    EXPECT_EQ(static_cast<unsigned char>(pingOut.bytes[0]), 0xD4);
    MemoryStream in(pingOut.bytes, 5);
    KEPMsgToolPingMessage received;
    ASSERT_TRUE(received.ReadBody(&in));
    EXPECT_EQ(received.Sequence(), 0xA1B2C3D4u);
    EXPECT_EQ(received.Stamp(), 0x0102030405060708ull);
}

TEST(KEPMsgToolSupportTest, SummaryUsesNearestRankPercentileAndEndpointBracketsIpv6) {
    std::vector<double> samples(100);
    std::iota(samples.rbegin(), samples.rend(), 1.0);  // 100 down to 1
    const kepmsgtool::Summary summary = kepmsgtool::Summarize(samples);
    EXPECT_EQ(summary.count, 100u);
    EXPECT_EQ(summary.min, 1);
    EXPECT_EQ(summary.median, 50.5);
    EXPECT_EQ(summary.p99, 99);

    const kepmsgtool::Summary one = kepmsgtool::Summarize({7});
    EXPECT_TRUE(one.min == 7 && one.median == 7 && one.p99 == 7);
    EXPECT_EQ(kepmsgtool::Summarize({}).count, 0u);
    EXPECT_EQ(kepmsgtool::FormatEndpoint("::1", 80), "[::1]:80");
    EXPECT_EQ(kepmsgtool::FormatEndpoint("", 5), "127.0.0.1:5");
}

}  // namespace

#include "sockets/KEPMsgSocketErrorInfo.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

TEST(KEPMsgSocketErrorInfoTest, KnownCodesGiveTheirTableText) {
    KEPString text;
    KEPMsgSocketErrorInfo(10054, text);
    EXPECT_STREQ(text.GetUTF8(), "WSAECONNRESET (10054) Connection reset by peer.");
    // Both ends of the table, where a binary search goes wrong first.
    KEPMsgSocketErrorInfo(10004, text);
    EXPECT_STREQ(text.GetUTF8(), "WSAEINTR (10004) Interrupted function call.");
    KEPMsgSocketErrorInfo(11004, text);
    EXPECT_STREQ(text.GetUTF8(),
                 "WSANO_DATA (11004) Valid name, no data record of requested type.");
}

TEST(KEPMsgSocketErrorInfoTest, EveryTableCodeIsFoundUnderItsOwnNumber) {
    const int codes[] = {10004, 10013, 10014, 10022, 10024, 10035, 10036, 10037, 10038,
                         10039, 10040, 10041, 10042, 10043, 10044, 10045, 10046, 10047,
                         10048, 10049, 10050, 10051, 10052, 10053, 10054, 10055, 10056,
                         10057, 10058, 10060, 10061, 10064, 10065, 10067, 10091, 10092,
                         10093, 10101, 10107, 10109, 11001, 11002, 11003, 11004};
    static_assert(sizeof(codes) / sizeof(codes[0]) == 44, "44 entries");
    for (const int code : codes) {
        KEPString text;
        KEPMsgSocketErrorInfo(code, text);
        const std::string got = text.GetUTF8();
        EXPECT_NE(got.find(" (" + std::to_string(code) + ") "), std::string::npos) << got;
        EXPECT_EQ(got.rfind("WSA", 0), 0u) << got;
    }
}

TEST(KEPMsgSocketErrorInfoTest, CodesOutsideTheTableGiveUnknownError) {
    for (const int code : {0, -1, INT_MIN, INT_MAX, 10059, 11005, 10003, 19999}) {
        KEPString text;
        KEPMsgSocketErrorInfo(code, text);
        EXPECT_STREQ(text.GetUTF8(), "unknown error") << code;
    }
}

TEST(KEPMsgSocketErrorInfoTest, PreviousContentIsReplacedNotAppendedTo) {
    KEPString text("left over from before");
    KEPString shared = text;
    KEPMsgSocketErrorInfo(10061, text);
    EXPECT_STREQ(text.GetUTF8(), "WSAECONNREFUSED (10061) Connection refused.");
    EXPECT_STREQ(shared.GetUTF8(), "left over from before");
    KEPMsgSocketErrorInfo(42, text);
    EXPECT_STREQ(text.GetUTF8(), "unknown error");
}

TEST(KEPMsgSocketErrorInfoTest, PrintErrorWritesOneLabelledLine) {
    testing::internal::CaptureStderr();
    printError("connect", 10061);
    printError("other", 5);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "connect: WSAECONNREFUSED (10061) Connection refused.\nother: unknown error\n");
}

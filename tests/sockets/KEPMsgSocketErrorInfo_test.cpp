#include "sockets/KEPMsgSocketErrorInfo.h"

#include <gtest/gtest.h>

#include <climits>

// Complete texts at both ends and inside the sorted table, where a binary search goes wrong
// first, and codes beside and outside it.
TEST(KEPMsgSocketErrorInfoTest, CodesGiveTheirWholeTextOrUnknownError) {
    const struct {
        int code;
        const char* text;
    } rows[] = {
        {10004, "WSAEINTR (10004) Interrupted function call."},
        {10013, "WSAEACCES (10013) Permission denied."},
        {10054, "WSAECONNRESET (10054) Connection reset by peer."},
        {10061, "WSAECONNREFUSED (10061) Connection refused."},
        {10109, "WSATYPE_NOT_FOUND (10109) Class type not found."},
        {11001, "WSAHOST_NOT_FOUND (11001) Host not found."},
        {11004, "WSANO_DATA (11004) Valid name, no data record of requested type."},
        {10003, "unknown error"},
        {10059, "unknown error"},
        {11005, "unknown error"},
        {0, "unknown error"},
        {-1, "unknown error"},
        {INT_MIN, "unknown error"},
        {INT_MAX, "unknown error"},
    };
    for (const auto& row : rows) {
        KEPString text("left over from before");
        KEPString shared = text;
        KEPMsgSocketErrorInfo(row.code, text);
        EXPECT_STREQ(row.text, text.GetUTF8()) << "code " << row.code;
        EXPECT_STREQ("left over from before", shared.GetUTF8()) << "code " << row.code;
    }
}

TEST(KEPMsgSocketErrorInfoTest, PrintErrorWritesOneLabelledLine) {
    testing::internal::CaptureStderr();
    printError("connect", 10061);
    printError("other", 5);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "connect: WSAECONNREFUSED (10061) Connection refused.\nother: unknown error\n");
}

#include "sockets/KEPMsgSocketErrorInfo.h"

#include <gtest/gtest.h>

#include <climits>
#include <utility>
#include <vector>

// Complete texts at both ends and inside the sorted table, where a binary search goes wrong
// first, and codes beside and outside it.
TEST(KEPMsgSocketErrorInfoTest, CodesGiveTheirWholeTextOrUnknownErrorAndPrintErrorOneLabelledLine) {
    std::vector<std::pair<int, const char*>> rows = {
        {10004, "WSAEINTR (10004) Interrupted function call."},
        {10013, "WSAEACCES (10013) Permission denied."},
        {10054, "WSAECONNRESET (10054) Connection reset by peer."},
        {10061, "WSAECONNREFUSED (10061) Connection refused."},
        {10109, "WSATYPE_NOT_FOUND (10109) Class type not found."},
        {11001, "WSAHOST_NOT_FOUND (11001) Host not found."},
        {11004, "WSANO_DATA (11004) Valid name, no data record of requested type."},
    };
    for (int code : {10003, 10059, 11005, 0, -1, INT_MIN, INT_MAX}) {
        rows.emplace_back(code, "unknown error");
    }
    for (const auto& row : rows) {
        KEPString text("left over from before");
        KEPString shared = text;
        KEPMsgSocketErrorInfo(row.first, text);
        EXPECT_STREQ(row.second, text.GetUTF8()) << "code " << row.first;
        EXPECT_STREQ("left over from before", shared.GetUTF8()) << "code " << row.first;
    }
    testing::internal::CaptureStderr();
    printError("connect", 10061);
    printError("other", 5);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "connect: WSAECONNREFUSED (10061) Connection refused.\nother: unknown error\n");
}

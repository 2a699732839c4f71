// The header reader's allocations: a count that cannot be a type name is refused without a buffer
// of its size. The test program's own mem_OperatorNewThrowBuiltin takes the place of the base
// library's for every caller in the process (ELF symbol interposition) and forwards to it.
#include <dlfcn.h>

#include <atomic>

#include "tests/connection/ConnectionTestSupport.h"

using namespace keptest;

namespace {
std::atomic<std::size_t> g_largestBuffer{0};
}

void* mem_OperatorNewThrowBuiltin(std::size_t size) {
    using Fn = void* (*)(std::size_t);
    static Fn original = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "_Z27mem_OperatorNewThrowBuiltinm"));
    std::size_t seen = g_largestBuffer.load();
    while (size > seen && !g_largestBuffer.compare_exchange_weak(seen, size)) {
    }
    return original(size);
}

namespace {

using HeaderAllocationTest = ConnectionFixture;

TEST_F(HeaderAllocationTest, OversizedCountIsRefusedWithoutABufferOfItsSize) {
    for (const std::string& count : {Bytes({0, 0, 0, 0x80}), Bytes({1, 0, 1, 0})}) {
        const int id = Connect();
        ASSERT_TRUE(m_peer.SendBytes(count));
        g_largestBuffer = 0;
        KEPString type;
        EXPECT_FALSE(Services().RetrieveMessageTypeFromSocket(id, type));
        EXPECT_LE(g_largestBuffer.load(), KEPMsgConnectionServicesUtils::kMaxTypeNameBytes + 1);
    }
}

}  // namespace

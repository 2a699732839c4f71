// Fuzz target for the message bodies of the kepmsg tool (KEPMsgToolMessages.h): arbitrary bytes as
// the body of a raw, ping or pong message, handed to ReadBody in pieces of a size the input
// chooses, as a connection hands them out.
//
// Input: the first byte picks the class (bits 0-1: raw, ping, pong, raw) and the largest piece one
// read returns (bits 2-7, plus 1); the rest is the body. Any body gets a defined answer; one that
// reads whole writes back as exactly the bytes it consumed. An announced length is never trusted
// for an allocation beyond what arrived (libFuzzer's -malloc_limit_mb catches that).
//
// Built without a fuzzing engine (KEP_FUZZ_REPLAY), main() replays the files and directories given
// on the command line (KEPFuzzReplay.h).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "fuzz/KEPFuzzReplay.h"
#include "tools/KEPMsgToolMessages.h"

namespace {

// Hands out the body in pieces of at most m_piece bytes; 0 bytes (the peer's close) at the end.
class PieceInputStream : public KEPBasInputStream {
  public:
    PieceInputStream(const std::uint8_t* data, std::size_t size, int piece)
        : m_data(data), m_size(size), m_piece(piece) {}
    bool read(void* buffer, int length, int& got) override {
        std::size_t n = m_size - m_at;
        n = n < static_cast<std::size_t>(m_piece) ? n : static_cast<std::size_t>(m_piece);
        n = length < 0 ? 0 : (n < static_cast<std::size_t>(length) ? n : length);
        std::memcpy(buffer, m_data + m_at, n);
        m_at += n;
        got = static_cast<int>(n);
        return true;
    }
    std::size_t Consumed() const { return m_at; }

  private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_at = 0;
    int m_piece;
};

class StringOutputStream : public KEPBasOutputStream {
  public:
    bool write(void* data, int length, int& written) override {
        m_bytes.append(static_cast<const char*>(data), static_cast<std::size_t>(length));
        written += length;
        return true;
    }
    const std::string& Bytes() const { return m_bytes; }

  private:
    std::string m_bytes;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    std::unique_ptr<KEPBasSocketMessage> message;
    switch (data[0] & 3) {
        case 1:
            message.reset(new KEPMsgToolPingMessage());
            break;
        case 2:
            message.reset(new KEPMsgToolPongMessage());
            break;
        default:
            message.reset(new KEPMsgToolRawMessage());
    }
    PieceInputStream in(data + 1, size - 1, (data[0] >> 2) + 1);
    if (!message->ReadBody(&in)) {
        return 0;
    }
    StringOutputStream out;
    const std::string consumed(reinterpret_cast<const char*>(data + 1), in.Consumed());
    if (!message->WriteBody(&out) || out.Bytes() != consumed) {
        std::fprintf(stderr, "kepmsg_body_fuzzer: a body read whole did not write back the same\n");
        std::abort();
    }
    return 0;
}

#ifdef KEP_FUZZ_REPLAY

int main(int argc, char** argv) {
    std::printf("replayed %zu inputs\n", ReplayInputs(argc, argv));
    return 0;
}

#endif  // KEP_FUZZ_REPLAY

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
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "fuzz/KEPFuzzReplay.h"
#include "tools/KEPMsgToolMessages.h"

namespace {

// Hands out the body in pieces of at most m_piece bytes, 0 bytes (the peer's close) at the end;
// collects what is written.
class PieceStream : public KEPBasInputStream, public KEPBasOutputStream {
  public:
    PieceStream(const std::uint8_t* data, std::size_t size, std::size_t piece)
        : m_data(data), m_size(size), m_piece(piece) {}
    bool read(void* buffer, int length, int& got) override {
        const std::size_t asked = length < 0 ? 0 : static_cast<std::size_t>(length);
        const std::size_t n = std::min({m_size - m_at, m_piece, asked});
        std::memcpy(buffer, m_data + m_at, n);
        m_at += n;
        got = static_cast<int>(n);
        return true;
    }
    bool write(void* data, int length, int& written) override {
        m_written.append(static_cast<const char*>(data), static_cast<std::size_t>(length));
        written += length;
        return true;
    }
    // True when what was written is exactly what was read.
    bool WroteWhatItRead() const {
        return m_written == std::string(reinterpret_cast<const char*>(m_data), m_at);
    }

  private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_at = 0;
    std::size_t m_piece;
    std::string m_written;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const int kind = data[0] & 3;
    using Message = std::unique_ptr<KEPBasSocketMessage>;
    const Message message = kind == 1   ? Message(new KEPMsgToolPingMessage())
                            : kind == 2 ? Message(new KEPMsgToolPongMessage())
                                        : Message(new KEPMsgToolRawMessage());
    PieceStream stream(data + 1, size - 1, (data[0] >> 2) + 1u);
    if (!message->ReadBody(&stream)) {
        return 0;
    }
    if (!message->WriteBody(&stream) || !stream.WroteWhatItRead()) {
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

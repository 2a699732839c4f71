// KEPMsgAcceptFilter: the networks a listening socket's peers may come from.
//
// A list of IPv4 and IPv6 CIDR blocks ("10.0.0.0/8", "::1/128"; a bare address is a block of
// one). An empty filter lets everyone in. An IPv4 peer that reaches an IPv6 listener as a
// mapped address (::ffff:a.b.c.d) is matched against the IPv4 blocks. A plain value: copies
// share nothing; const operations may run on any thread.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <vector>

class KEPMsgAcceptFilter {
  public:
    // Parses a comma-separated list of blocks (blanks around entries allowed). False, with
    // this filter unchanged, when any entry is malformed (not an address, a prefix that is not
    // a number or out of range) or the list is empty. Bits beyond a prefix are ignored.
    bool Parse(const char* blocks);
    bool IsEmpty() const { return m_blocks.empty(); }
    // True when the filter is empty or peer lies in one of its blocks.
    bool Allows(const sockaddr_storage& peer) const;

  private:
    struct Block {
        int family;  // AF_INET or AF_INET6
        std::uint8_t address[16];
        int prefixBits;
    };
    static bool ParseBlock(const char* text, Block& block);
    static bool Matches(const Block& block, int family, const std::uint8_t* address);

    std::vector<Block> m_blocks;
};

#include "sockets/KEPMsgAcceptFilter.h"

#include <cstdlib>
#include <cstring>
#include <string>

bool KEPMsgAcceptFilter::Parse(const char* blocks) {
    if (blocks == nullptr) {
        return false;
    }
    std::vector<Block> parsed;
    const std::string list(blocks);
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = list.find(',', start);
        std::string entry = list.substr(start, comma == std::string::npos ? comma : comma - start);
        const std::size_t first = entry.find_first_not_of(" \t");
        const std::size_t last = entry.find_last_not_of(" \t");
        entry = first == std::string::npos ? std::string() : entry.substr(first, last - first + 1);
        Block block{};
        if (!ParseBlock(entry.c_str(), block)) {
            return false;
        }
        parsed.push_back(block);
        if (comma == std::string::npos) {
            break;
        }
        start = comma + 1;
    }
    m_blocks.swap(parsed);
    return true;
}

bool KEPMsgAcceptFilter::ParseBlock(const char* text, Block& block) {
    std::string address(text);
    const std::size_t slash = address.find('/');
    std::string prefix;
    if (slash != std::string::npos) {
        prefix = address.substr(slash + 1);
        address.resize(slash);
    }
    if (kepwsa::ParseNumericAddress(AF_INET, address.c_str(), block.address)) {
        block.family = AF_INET;
    } else if (kepwsa::ParseNumericAddress(AF_INET6, address.c_str(), block.address)) {
        block.family = AF_INET6;
    } else {
        return false;
    }
    const int maxBits = block.family == AF_INET ? 32 : 128;
    block.prefixBits = maxBits;
    if (slash != std::string::npos) {
        if (prefix.empty() || prefix.size() > 3 ||
            prefix.find_first_not_of("0123456789") != std::string::npos) {
            return false;
        }
        block.prefixBits = std::atoi(prefix.c_str());
        if (block.prefixBits > maxBits) {
            return false;
        }
    }
    return true;
}

bool KEPMsgAcceptFilter::Matches(const Block& block, int family, const std::uint8_t* address) {
    if (block.family != family) {
        return false;
    }
    const int wholeBytes = block.prefixBits / 8;
    if (std::memcmp(block.address, address, static_cast<std::size_t>(wholeBytes)) != 0) {
        return false;
    }
    const int restBits = block.prefixBits % 8;
    if (restBits == 0) {
        return true;
    }
    const auto mask = static_cast<std::uint8_t>(0xFF << (8 - restBits));
    return (block.address[wholeBytes] & mask) == (address[wholeBytes] & mask);
}

bool KEPMsgAcceptFilter::Allows(const sockaddr_storage& peer) const {
    if (m_blocks.empty()) {
        return true;
    }
    int family = peer.ss_family;
    const std::uint8_t* address = nullptr;
    if (family == AF_INET) {
        address = reinterpret_cast<const std::uint8_t*>(
            &reinterpret_cast<const sockaddr_in&>(peer).sin_addr);
    } else if (family == AF_INET6) {
        const in6_addr& v6 = reinterpret_cast<const sockaddr_in6&>(peer).sin6_addr;
        address = v6.s6_addr;
        if (IN6_IS_ADDR_V4MAPPED(&v6)) {
            family = AF_INET;
            address += 12;
        }
    } else {
        return false;
    }
    for (const Block& block : m_blocks) {
        if (Matches(block, family, address)) {
            return true;
        }
    }
    return false;
}

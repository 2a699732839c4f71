// The peer modes of kep_compare: every scenario runs as fresh processes, each this program
// started again with "--peer <role> <impl> <size> [port] [amount]". A file that adds a peer
// mode registers it with one static PeerRole; RunPeer picks the registered mode for the
// command line. Registration happens before main and is never changed afterwards.
#pragma once

#include <string>

namespace kepbench {

struct PeerArgs {
    std::string impl;   // which implementation, or a count for the scaling modes
    int size = 0;       // body size in bytes
    int port = 0;       // the receiving peer's port, for the peer that connects
    double amount = 0;  // seconds of sending, or number of round trips
};

using PeerMain = int (*)(const PeerArgs& args);

// Registers main for role and impl; the impl "*" takes every impl of the role.
struct PeerRole {
    PeerRole(const char* role, const char* impl, PeerMain main);
};

// Runs the peer mode that argv ("--peer ...") names; fails for an unknown mode.
int RunPeer(int argc, char** argv);

}  // namespace kepbench

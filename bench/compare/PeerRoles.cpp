#include "PeerRoles.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <utility>

#include "BenchCommon.h"

namespace kepbench {

namespace {

// Function-local, so that registrations from other files' static objects find it constructed.
std::map<std::pair<std::string, std::string>, PeerMain>& Roles() {
    static std::map<std::pair<std::string, std::string>, PeerMain> roles;
    return roles;
}

}  // namespace

PeerRole::PeerRole(const char* role, const char* impl, PeerMain main) {
    Roles()[{role, impl}] = main;
}

int RunPeer(int argc, char** argv) {
    // argv: --peer <role> <impl> <size> [port] [seconds|count]
    if (argc < 5)
        Fail("peer arguments");
    const std::string role = argv[2];
    PeerArgs args;
    args.impl = argv[3];
    args.size = std::atoi(argv[4]);
    args.port = argc > 5 ? std::atoi(argv[5]) : 0;
    args.amount = argc > 6 ? std::atof(argv[6]) : 0;
    Payload().assign(static_cast<std::size_t>(std::max(args.size, 8)), 'x');
    Scratch().assign(static_cast<std::size_t>(std::max(args.size, 8)), 0);
    auto found = Roles().find({role, args.impl});
    if (found == Roles().end())
        found = Roles().find({role, "*"});
    if (found == Roles().end())
        Fail("unknown peer role");
    return found->second(args);
}

}  // namespace kepbench

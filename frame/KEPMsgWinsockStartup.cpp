#include "frame/KEPMsgWinsockStartup.h"

#include <atomic>

#include "base/aio_ostream.h"
#include "platform/KEPWinsock.h"

namespace {
// Set once the first attempt has been made, whether it succeeded or not.
std::atomic<bool> s_winsockStarted{false};
}  // namespace

void Startup() {
    if (s_winsockStarted.exchange(true)) {
        return;
    }
    kepwsa::WSADATA data{};
    const int code = kepwsa::WSAStartup(0x0202, &data);
    if (code != 0) {
        aio_cerr.print("winsock initialization timed out").print_int(code).put('\n').flush();
    } else if ((data.wVersion & 0xFF) != 2) {
        kepwsa::WSACleanup();
        aio_cerr.print("cannot open winsock dll").print_int(code).put('\n').flush();
    }
}

void ResetStartupForTesting() {
    s_winsockStarted.store(false);
}

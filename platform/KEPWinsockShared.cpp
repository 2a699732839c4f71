// The parts of the socket layer that are the same on every platform: the fixed-capacity handle
// set, the owned resolver list, the check of numeric services and of send/recv buffers, and the
// port a socket is bound to.
#include "platform/KEPWinsock.h"

#include <cstring>

#ifndef _WIN32
#include <arpa/inet.h>
#include <netinet/in.h>
#endif

namespace kepwsa {

bool IsNumericServiceOutOfRange(const char* service) {
    if (service == nullptr || *service == '\0') {
        return false;
    }
    long long value = 0;
    for (const char* digit = service; *digit != '\0'; ++digit) {
        if (*digit < '0' || *digit > '9') {
            return false;
        }
        if (value <= 65535) {
            value = value * 10 + (*digit - '0');
        }
    }
    return value > 65535;
}

int CheckTransferBuffer(const void* buffer, int length) {
    const int code = length < 0 ? WSAEINVAL : buffer == nullptr && length > 0 ? WSAEFAULT : 0;
    if (code != 0) {
        WSASetLastError(code);
        return SOCKET_ERROR;
    }
    return 0;
}

int LocalPort(SOCKET s) {
    sockaddr_storage bound{};
    socklen_t length = sizeof(bound);
    if (kepwsa::getsockname(s, reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
        return -1;
    }
    return bound.ss_family == AF_INET6
               ? ntohs(reinterpret_cast<const sockaddr_in6*>(&bound)->sin6_port)
               : ntohs(reinterpret_cast<const sockaddr_in*>(&bound)->sin_port);
}

bool DescribeAddress(const sockaddr_storage& address, char* host, std::size_t hostSize, int& port) {
    host[0] = '\0';
    port = 0;
    if (address.ss_family == AF_INET6) {
        sockaddr_in6 in6{};
        std::memcpy(&in6, &address, sizeof in6);
        port = ntohs(in6.sin6_port);
        return ::inet_ntop(AF_INET6, &in6.sin6_addr, host, hostSize) != nullptr;
    }
    if (address.ss_family == AF_INET) {
        sockaddr_in in4{};
        std::memcpy(&in4, &address, sizeof in4);
        port = ntohs(in4.sin_port);
        return ::inet_ntop(AF_INET, &in4.sin_addr, host, hostSize) != nullptr;
    }
    return false;
}

bool ParseNumericAddress(int family, const char* text, void* address) {
    return ::inet_pton(family, text, address) == 1;
}

AddrInfoList Resolve(const char* host, const char* service, const addrinfo& hints, int& code) {
    addrinfo* list = nullptr;
    code = kepwsa::getaddrinfo(host, service, &hints, &list);
    return AddrInfoList(code == 0 ? list : nullptr);
}

void FD_ZERO(fd_set* set) {
    if (set != nullptr) {
        set->fd_count = 0;
    }
}

void FD_SET(SOCKET s, fd_set* set) {
    if (set == nullptr || set->fd_count >= KEP_FD_SETSIZE) {
        return;
    }
    for (unsigned int i = 0; i < set->fd_count; ++i) {
        if (set->fd_array[i] == s) {
            return;
        }
    }
    set->fd_array[set->fd_count++] = s;
}

int FD_ISSET(SOCKET s, const fd_set* set) {
    if (set == nullptr) {
        return 0;
    }
    const unsigned int n = set->fd_count > KEP_FD_SETSIZE ? KEP_FD_SETSIZE : set->fd_count;
    for (unsigned int i = 0; i < n; ++i) {
        if (set->fd_array[i] == s) {
            return 1;
        }
    }
    return 0;
}

}  // namespace kepwsa

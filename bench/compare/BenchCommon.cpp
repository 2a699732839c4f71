#include "BenchCommon.h"

#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kepbench {

std::int64_t NowNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

std::int64_t DeadlineAfter(double seconds) {
    return NowNs() + static_cast<std::int64_t>(seconds * 1e9);
}

void Report(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vfprintf(stdout, format, args);
    va_end(args);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void Fail(const char* what) {
    std::fprintf(stderr, "kep_compare peer: %s (errno %d)\n", what, errno);
    std::exit(2);
}

std::string Header(const char* type) {
    const std::uint32_t n = static_cast<std::uint32_t>(std::strlen(type));
    std::string header(4, '\0');
    std::memcpy(&header[0], &n, 4);
    header += type;
    return header;
}

bool IsEndRecord(const char* data, std::size_t length) {
    std::uint32_t n = 0;
    if (length < 4)
        return false;
    std::memcpy(&n, data, 4);
    return n == std::strlen(kEndType) && length >= 4 + n && std::memcmp(data + 4, kEndType, n) == 0;
}

std::vector<char>& Payload() {
    static std::vector<char> payload;
    return payload;
}

std::vector<char>& Scratch() {
    static std::vector<char> scratch;
    return scratch;
}

void ReportLatencies(std::vector<std::int64_t>& rtts) {
    std::sort(rtts.begin(), rtts.end());
    const std::int64_t median = rtts[rtts.size() / 2];
    const std::int64_t p99 = rtts[std::min(rtts.size() - 1, rtts.size() * 99 / 100)];
    Report("RTT %lld %lld", static_cast<long long>(median), static_cast<long long>(p99));
}

}  // namespace kepbench

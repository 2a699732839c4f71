#include "Report.h"

#include <cstdio>
#include <fstream>

namespace kepbench {

std::string Fixed(double value, int decimals) {
    if (value == 0)
        return "n/a";
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string Ratio(double value, double reference) {
    if (value == 0 || reference == 0)
        return "n/a";
    char text[32];
    std::snprintf(text, sizeof text, "%.2fx", value / reference);
    return text;
}

std::string Times(double ratio) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2fx", ratio);
    return text;
}

std::string SizeLabel(int size) {
    if (size >= (1 << 20))
        return std::to_string(size >> 20) + " MiB";
    if (size >= 1024)
        return std::to_string(size >> 10) + " KiB";
    return std::to_string(size) + " B";
}

std::string ReadCpuModel() {
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpuinfo, line)) {
        if (line.rfind("model name", 0) == 0) {
            const std::size_t colon = line.find(':');
            return colon == std::string::npos ? line : line.substr(colon + 2);
        }
    }
    return "unknown";
}

const char* Verdict(bool met) {
    return met ? "met" : "MISSED";
}

}  // namespace kepbench

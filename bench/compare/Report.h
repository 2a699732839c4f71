// Formatting shared by the scenarios' tables and the driver's report.
#pragma once

#include <string>

namespace kepbench {

// value with the given decimals; "n/a" for 0 (a figure that was not measured).
std::string Fixed(double value, int decimals);
// "1.23x" for value / reference; "n/a" when either is 0.
std::string Ratio(double value, double reference);
// "1.23x" for a ratio, also when it is 0 (a target figure).
std::string Times(double ratio);
// "64 B", "4 KiB", "1 MiB".
std::string SizeLabel(int size);
// The CPU model from /proc/cpuinfo.
std::string ReadCpuModel();
// "met" or "MISSED".
const char* Verdict(bool met);

}  // namespace kepbench

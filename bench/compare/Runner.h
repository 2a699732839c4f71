// The orchestrator's side of a run: starting peers (this program again, in a peer mode),
// reading the one-line reports they print, and turning them into figures. Used by the
// scenarios from the main thread only. A peer that hangs is killed by its pid.
#pragma once

#include <string>
#include <vector>

namespace kepbench {

struct Options {
    int reps = 5;
    double seconds = 0.25;
    int pings = 4000;
    std::string out = "kep_compare.md";
    std::string svg = "kep_compare.svg";
};

// One-way run: the receiver "recv <receiver>" (or "scalerecv <n>" for "scale<n>"), then the
// sender. Returns messages/s, 0 on failure; for scaling runs nsPerMessage gets the pass time
// per message.
double RunThroughput(const std::string& receiver, const std::string& sender, int size,
                     const Options& options, double* nsPerMessage = nullptr);
// Round-trip run: "echo <echo>", then "ping <ping>". Median and p99 in microseconds; false on
// failure.
bool RunPingPong(const std::string& echo, const std::string& ping, int size, const Options& options,
                 double& median, double& p99);
// One peer alone: "<role> <impl> 0"; returns the numbers of its first report line (empty on
// failure).
std::vector<long long> RunAlone(const std::string& role, const std::string& impl);

}  // namespace kepbench

// 64 B ping-pong: the library with immediate sends and receive passes run by hand, raw TCP
// with the library's calls, ZeroMQ PAIR.
#include <string>

#include "Report.h"
#include "Scenario.h"
#include "SvgCanvas.h"

namespace kepbench {

namespace {

struct PingImpl {
    const char* key;
    const char* label;
    const char* shortLabel;
};

const PingImpl kImpls[] = {
    {"lib", "KEP (immediate send, passes)", "KEP"},
    {"raw", "raw TCP, same calls", "raw"},
    {"zmq", "ZeroMQ PAIR", "zmq"},
};

bool Skipped(const RunSettings& settings, const PingImpl& impl) {
    return !settings.haveZmq && std::string(impl.key) == "zmq";
}

void Run(const RunSettings& settings, Samples& samples) {
    for (const PingImpl& impl : kImpls) {
        double median = 0, p99 = 0;
        if (!Skipped(settings, impl) &&
            RunPingPong(impl.key, impl.key, 64, settings.options, median, p99)) {
            samples.Add(std::string("ping-median/") + impl.key, median);
            samples.Add(std::string("ping-p99/") + impl.key, p99);
        }
    }
}

double MedianOf(const Samples& samples, const char* impl) {
    return samples.Median(std::string("ping-median/") + impl);
}

void WriteReport(const RunSettings& settings, const Samples& samples, std::ostream& md,
                 std::vector<Target>& targets) {
    md << "### Ping-pong, 64 B bodies (round trip)\n\n"
       << "| Implementation | median us | p99 us | median vs raw | median vs ZeroMQ |\n"
       << "|---|---:|---:|---:|---:|\n";
    for (const PingImpl& impl : kImpls) {
        if (Skipped(settings, impl))
            continue;
        const double median = MedianOf(samples, impl.key);
        md << "| " << impl.label << " | " << Fixed(median, 1) << " | "
           << Fixed(samples.Median(std::string("ping-p99/") + impl.key), 1) << " | "
           << Ratio(median, MedianOf(samples, "raw")) << " | "
           << (settings.haveZmq ? Ratio(median, MedianOf(samples, "zmq")) : "n/a") << " |\n";
    }
    md << "\n";
    const double vsRaw =
        MedianOf(samples, "raw") > 0 ? MedianOf(samples, "lib") / MedianOf(samples, "raw") : 0;
    targets.push_back(
        {"ping-pong 64 B median <= 1.3x raw", Times(vsRaw), vsRaw > 0 && vsRaw <= 1.3});
}

void Plot(const RunSettings& settings, const Samples& samples, SvgCanvas& canvas) {
    std::vector<std::pair<std::string, double>> bars;
    for (const PingImpl& impl : kImpls) {
        const double median = MedianOf(samples, impl.key);
        if (!Skipped(settings, impl) && median > 0)
            bars.push_back({impl.shortLabel, median});
    }
    canvas.Bars("Ping-pong 64 B, median round trip", bars, "us");
}

const ScenarioRegistration kRegistration({"pingpong", 20, Run, WriteReport, Plot});

}  // namespace

}  // namespace kepbench

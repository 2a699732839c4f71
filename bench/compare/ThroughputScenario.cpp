// One-way throughput for 64 B to 1 MiB bodies: the library (immediate and queued sends, the
// message task receiving) beside raw TCP (same calls, best) and ZeroMQ PUSH/PULL.
#include <algorithm>
#include <cmath>
#include <string>

#include "Report.h"
#include "Scenario.h"
#include "SvgCanvas.h"

namespace kepbench {

namespace {

struct ThroughputImpl {
    const char* key;
    const char* label;
    const char* colour;
};

const ThroughputImpl kImpls[] = {
    {"lib-imm", "KEP immediate", "#1f77b4"},        {"lib-queued", "KEP queued", "#6baed6"},
    {"raw-same", "raw TCP, same calls", "#ff7f0e"}, {"raw-best", "raw TCP, best", "#d62728"},
    {"zmq", "ZeroMQ PUSH/PULL", "#2ca02c"},
};
const int kSizes[] = {64, 4096, 65536, 1 << 20};

std::string Key(const char* impl, int size) {
    return std::string("rate/") + impl + "/" + std::to_string(size);
}

bool Skipped(const RunSettings& settings, const ThroughputImpl& impl) {
    return !settings.haveZmq && std::string(impl.key) == "zmq";
}

void Run(const RunSettings& settings, Samples& samples) {
    for (int size : kSizes) {
        for (const ThroughputImpl& impl : kImpls) {
            if (Skipped(settings, impl))
                continue;
            // The library's senders differ, its receiver is one.
            const std::string receiver =
                std::string(impl.key).rfind("lib", 0) == 0 ? "lib" : impl.key;
            const double rate = RunThroughput(receiver, impl.key, size, settings.options);
            if (rate > 0)
                samples.Add(Key(impl.key, size), rate);
        }
    }
}

void WriteReport(const RunSettings& settings, const Samples& samples, std::ostream& md,
                 std::vector<Target>& targets) {
    auto rate = [&](const char* impl, int size) { return samples.Median(Key(impl, size)); };
    md << "### One-way throughput\n\n"
       << "| Body | Implementation | msgs/s | MB/s | vs raw same calls | vs raw best | vs ZeroMQ "
          "|\n"
       << "|---|---|---:|---:|---:|---:|---:|\n";
    for (int size : kSizes) {
        for (const ThroughputImpl& impl : kImpls) {
            if (Skipped(settings, impl))
                continue;
            const double r = rate(impl.key, size);
            md << "| " << SizeLabel(size) << " | " << impl.label << " | " << Fixed(r, 0) << " | "
               << Fixed(r * size / 1e6, 1) << " | " << Ratio(r, rate("raw-same", size)) << " | "
               << Ratio(r, rate("raw-best", size)) << " | "
               << (settings.haveZmq ? Ratio(r, rate("zmq", size)) : "n/a") << " |\n";
        }
    }
    md << "\n";
    const double queuedVsZmq =
        settings.haveZmq && rate("zmq", 64) > 0 ? rate("lib-queued", 64) / rate("zmq", 64) : 0;
    const double immVsRaw =
        rate("raw-same", 64) > 0 ? rate("lib-imm", 64) / rate("raw-same", 64) : 0;
    const double big = rate("raw-best", 1 << 20) > 0
                           ? std::max(rate("lib-imm", 1 << 20), rate("lib-queued", 1 << 20)) /
                                 rate("raw-best", 1 << 20)
                           : 0;
    targets.push_back(
        {"queued 64 B >= 1.0x ZeroMQ msgs/s", Times(queuedVsZmq), queuedVsZmq >= 1.0});
    targets.push_back({"immediate 64 B >= 0.8x raw same calls", Times(immVsRaw), immVsRaw >= 0.8});
    targets.push_back({"1 MiB >= 0.9x raw best (better KEP mode)", Times(big), big >= 0.9});
}

// MB/s per body size and implementation, on a log scale.
void Plot(const RunSettings& settings, const Samples& samples, SvgCanvas& canvas) {
    std::ostream& svg = canvas.Out();
    const double band = canvas.Band(390);
    const int left = SvgCanvas::kLeft, plotW = 800, plotH = 300;
    const double top = band + 40;
    svg << "<text x='" << left << "' y='" << band + 24
        << "' font-size='15'>One-way throughput (MB/s, log scale), median of runs</text>\n";
    const double lo = 1, hi = 100000;  // 1 MB/s .. 100 GB/s
    auto yOf = [&](double mbps) {
        const double v = std::max(mbps, lo);
        return top + plotH - (std::log10(v / lo) / std::log10(hi / lo)) * plotH;
    };
    for (double tick = 1; tick <= hi; tick *= 10) {
        const double y = yOf(tick);
        svg << "<line x1='" << left << "' x2='" << left + plotW << "' y1='" << y << "' y2='" << y
            << "' stroke='#ddd'/>\n<text x='" << left - 6 << "' y='" << y + 4
            << "' text-anchor='end'>" << tick << "</text>\n";
    }
    const int groups = 4, impls = 5;
    const double groupW = plotW / static_cast<double>(groups);
    const double barW = groupW * 0.8 / impls;
    for (int g = 0; g < groups; ++g) {
        const int size = kSizes[g];
        for (int i = 0; i < impls; ++i) {
            const ThroughputImpl& impl = kImpls[i];
            const double rate = samples.Median(Key(impl.key, size));
            if (Skipped(settings, impl) || rate == 0)
                continue;
            const double mbps = rate * size / 1e6;
            const double x = left + g * groupW + groupW * 0.1 + i * barW;
            const double y = yOf(mbps);
            svg << "<rect x='" << x << "' y='" << y << "' width='" << barW - 2 << "' height='"
                << top + plotH - y << "' fill='" << impl.colour << "'><title>" << impl.label << " "
                << SizeLabel(size) << ": " << Fixed(mbps, 1) << " MB/s</title></rect>\n";
        }
        svg << "<text x='" << left + g * groupW + groupW / 2 << "' y='" << top + plotH + 18
            << "' text-anchor='middle'>" << SizeLabel(size) << "</text>\n";
    }
    for (int i = 0; i < impls; ++i) {
        const int x = left + 10 + i * 160;
        svg << "<rect x='" << x << "' y='" << top + plotH + 30 << "' width='12' height='12' fill='"
            << kImpls[i].colour << "'/><text x='" << x + 16 << "' y='" << top + plotH + 41 << "'>"
            << kImpls[i].label << "</text>\n";
    }
}

const ScenarioRegistration kRegistration({"throughput", 10, Run, WriteReport, Plot});

}  // namespace

}  // namespace kepbench

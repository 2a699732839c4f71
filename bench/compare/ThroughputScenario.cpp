// One-way throughput for 64 B to 1 MiB bodies: the library (immediate and queued sends, the
// message task receiving) beside raw TCP (same calls, best) and ZeroMQ PUSH/PULL; for 64 KiB
// and 1 MiB also the library and raw TCP (one send, plain receiver) with the system's
// send-buffer sizing.
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
    int minSize;  // run for bodies of at least this size
};

const ThroughputImpl kImpls[] = {
    {"lib-imm", "KEP immediate", "#1f77b4", 0},
    {"lib-queued", "KEP queued", "#6baed6", 0},
    {"lib-imm-sys", "KEP immediate, system sizing", "#17becf", 65536},
    {"raw-same", "raw TCP, same calls", "#ff7f0e", 0},
    {"raw-best", "raw TCP, best", "#d62728", 0},
    {"raw-sys", "raw TCP, system sizing, plain receiver", "#9467bd", 65536},
    {"zmq", "ZeroMQ PUSH/PULL", "#2ca02c", 0},
};
const int kImplCount = sizeof(kImpls) / sizeof(kImpls[0]);
const int kSizes[] = {64, 4096, 65536, 1 << 20};

std::string Key(const char* impl, int size) {
    return std::string("rate/") + impl + "/" + std::to_string(size);
}

bool Skipped(const RunSettings& settings, const ThroughputImpl& impl, int size) {
    return (!settings.haveZmq && std::string(impl.key) == "zmq") || size < impl.minSize;
}

void Run(const RunSettings& settings, Samples& samples) {
    for (int size : kSizes) {
        for (const ThroughputImpl& impl : kImpls) {
            if (Skipped(settings, impl, size))
                continue;
            // The library's senders differ, its receiver is one (with the sender's sizing).
            const std::string key = impl.key;
            const std::string receiver = key.rfind("lib", 0) != 0 ? key
                                         : key == "lib-imm-sys"   ? "lib-sys"
                                                                  : "lib";
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
       << "| Body | Implementation | msgs/s | MB/s | vs raw same calls | vs raw best "
          "| vs raw system sizing | vs ZeroMQ |\n"
       << "|---|---|---:|---:|---:|---:|---:|---:|\n";
    for (int size : kSizes) {
        for (const ThroughputImpl& impl : kImpls) {
            if (Skipped(settings, impl, size))
                continue;
            const double r = rate(impl.key, size);
            md << "| " << SizeLabel(size) << " | " << impl.label << " | " << Fixed(r, 0) << " | "
               << Fixed(r * size / 1e6, 1) << " | " << Ratio(r, rate("raw-same", size)) << " | "
               << Ratio(r, rate("raw-best", size)) << " | " << Ratio(r, rate("raw-sys", size))
               << " | " << (settings.haveZmq ? Ratio(r, rate("zmq", size)) : "n/a") << " |\n";
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
    const double band = canvas.Band(430);
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
    const int groups = 4, impls = kImplCount;
    const double groupW = plotW / static_cast<double>(groups);
    const double barW = groupW * 0.8 / impls;
    for (int g = 0; g < groups; ++g) {
        const int size = kSizes[g];
        for (int i = 0; i < impls; ++i) {
            const ThroughputImpl& impl = kImpls[i];
            const double rate = samples.Median(Key(impl.key, size));
            if (Skipped(settings, impl, size) || rate == 0)
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
        const int x = left + 10 + (i % 3) * 260;
        const double y = top + plotH + 30 + (i / 3) * 18;
        svg << "<rect x='" << x << "' y='" << y << "' width='12' height='12' fill='"
            << kImpls[i].colour << "'/><text x='" << x + 16 << "' y='" << y + 11 << "'>"
            << kImpls[i].label << "</text>\n";
    }
}

const ScenarioRegistration kRegistration({"throughput", 10, Run, WriteReport, Plot});

}  // namespace

}  // namespace kepbench

// Receive scaling: a batched raw sender on 1, 16 or 64 connections against the library's
// receive pass; the time one pass costs per message.
#include <string>

#include "Report.h"
#include "Scenario.h"
#include "SvgCanvas.h"

namespace kepbench {

namespace {

const int kConnections[] = {1, 16, 64};

std::string RateKey(int connections) {
    return "scale-rate/" + std::to_string(connections);
}
std::string CostKey(int connections) {
    return "scale-ns/" + std::to_string(connections);
}

void Run(const RunSettings& settings, Samples& samples) {
    for (int connections : kConnections) {
        double nsPerMessage = 0;
        const std::string impl = "scale" + std::to_string(connections);
        const double rate = RunThroughput(impl, impl, 64, settings.options, &nsPerMessage);
        if (rate > 0) {
            samples.Add(RateKey(connections), rate);
            samples.Add(CostKey(connections), nsPerMessage);
        }
    }
}

void WriteReport(const RunSettings&, const Samples& samples, std::ostream& md,
                 std::vector<Target>& targets) {
    md << "### Receive scaling, 64 B bodies, batched raw sender, KEP receive passes\n\n"
       << "| Busy connections | msgs/s | pass time per message ns | cost vs 1 connection |\n"
       << "|---:|---:|---:|---:|\n";
    const double one = samples.Median(CostKey(1));
    for (int connections : kConnections) {
        const double cost = samples.Median(CostKey(connections));
        md << "| " << connections << " | " << Fixed(samples.Median(RateKey(connections)), 0)
           << " | " << Fixed(cost, 0) << " | " << Ratio(cost, one) << " |\n";
    }
    md << "\n";
    const double growth = one > 0 ? samples.Median(CostKey(64)) / one : 0;
    targets.push_back({"64 connections: cost per message <= 1.5x one connection", Times(growth),
                       growth > 0 && growth <= 1.5});
}

void Plot(const RunSettings&, const Samples& samples, SvgCanvas& canvas) {
    std::vector<std::pair<std::string, double>> bars;
    for (int connections : kConnections) {
        const double cost = samples.Median(CostKey(connections));
        if (cost > 0)
            bars.push_back({std::to_string(connections) + " conn", cost});
    }
    canvas.Bars("KEP receive pass: ns per message", bars, "ns");
}

const ScenarioRegistration kRegistration({"scaling", 30, Run, WriteReport, Plot});

}  // namespace

}  // namespace kepbench

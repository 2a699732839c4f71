// Host-shape idle cost: the CPU a running message task takes over about a second, with nothing
// open and after its only peer went away.
#include <cstdio>
#include <string>

#include "Report.h"
#include "Scenario.h"
#include "SvgCanvas.h"

namespace kepbench {

namespace {

struct IdleCase {
    const char* impl;
    const char* label;
    const char* shortLabel;
};

const IdleCase kCases[] = {
    {"none", "nothing open", "nothing open"},
    {"gone", "its only peer has gone", "peer gone"},
};

std::string Key(const IdleCase& idle) {
    return std::string("idle-cpu-percent/") + idle.impl;
}

std::string Percent(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f %%", value);
    return text;
}

void Run(const RunSettings&, Samples& samples) {
    for (const IdleCase& idle : kCases) {
        const std::vector<long long> figures = RunAlone("idle", idle.impl);
        if (figures.size() >= 2 && figures[1] > 0)
            samples.Add(Key(idle),
                        100.0 * static_cast<double>(figures[0]) / static_cast<double>(figures[1]));
    }
}

void WriteReport(const RunSettings&, const Samples& samples, std::ostream& md,
                 std::vector<Target>& targets) {
    md << "### Host shape: idle message task (CPU over about 1 s)\n\n"
       << "| Task state | CPU, % of one core |\n|---|---:|\n";
    for (const IdleCase& idle : kCases) {
        const bool measured = samples.Has(Key(idle));
        const std::string percent = measured ? Percent(samples.Median(Key(idle))) : "n/a";
        md << "| " << idle.label << " | " << percent << " |\n";
        targets.push_back({std::string("idle task, ") + idle.label + ": < 1% of a core", percent,
                           measured && samples.Median(Key(idle)) < 1.0});
    }
    md << "\n";
}

void Plot(const RunSettings&, const Samples& samples, SvgCanvas& canvas) {
    std::vector<std::pair<std::string, double>> bars;
    for (const IdleCase& idle : kCases)
        bars.push_back({idle.shortLabel, samples.Median(Key(idle))});
    canvas.Bars("Host shape: idle task, % of a core", bars, "%", 2);
}

const ScenarioRegistration kRegistration({"host-idle", 60, Run, WriteReport, Plot});

}  // namespace

}  // namespace kepbench

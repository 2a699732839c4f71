// A kep_compare scenario: one family of runs with its own table, targets and plot panels. A
// scenario is one file that defines its functions and registers them with a static
// ScenarioRegistration; the driver runs every registered scenario once per repetition (in
// their order) and then asks each for its part of the report and of the plot. Registration
// happens before main; everything else runs on the main thread.
#pragma once

#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "Runner.h"

namespace kepbench {

class SvgCanvas;

// Figures collected over the repetitions, by key (the scenario chooses its keys).
class Samples {
  public:
    void Add(const std::string& key, double value) { m_values[key].push_back(value); }
    // The median of the key's figures, 0 when it has none.
    double Median(const std::string& key) const;
    // True when the key has a figure.
    bool Has(const std::string& key) const { return m_values.count(key) != 0; }

  private:
    std::map<std::string, std::vector<double>> m_values;
};

// One line of the targets table: what is aimed at, the figure (formatted), whether it holds.
struct Target {
    std::string aim;
    std::string measured;
    bool met;
};

struct RunSettings {
    Options options;
    bool haveZmq = false;  // whether the ZeroMQ peers were built
    std::string only;      // run only the scenarios whose name starts with this
};

struct Scenario {
    const char* name;  // chosen with --only
    int order;         // position in the run, the report and the plot
    // One repetition: runs the peers and adds the figures.
    void (*run)(const RunSettings& settings, Samples& samples);
    // Writes the scenario's tables and appends its targets.
    void (*report)(const RunSettings& settings, const Samples& samples, std::ostream& md,
                   std::vector<Target>& targets);
    // Draws the scenario's panels.
    void (*plot)(const RunSettings& settings, const Samples& samples, SvgCanvas& canvas);
};

struct ScenarioRegistration {
    explicit ScenarioRegistration(const Scenario& scenario);
};

// The registered scenarios, in their order.
std::vector<Scenario> Scenarios();

}  // namespace kepbench

#include "Scenario.h"

#include <algorithm>

namespace kepbench {

namespace {

// Function-local, so that registrations from other files' static objects find it constructed.
std::vector<Scenario>& Registered() {
    static std::vector<Scenario> scenarios;
    return scenarios;
}

}  // namespace

double Samples::Median(const std::string& key) const {
    auto found = m_values.find(key);
    if (found == m_values.end() || found->second.empty())
        return 0;
    std::vector<double> values = found->second;
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

ScenarioRegistration::ScenarioRegistration(const Scenario& scenario) {
    Registered().push_back(scenario);
}

std::vector<Scenario> Scenarios() {
    std::vector<Scenario> scenarios = Registered();
    std::sort(scenarios.begin(), scenarios.end(),
              [](const Scenario& a, const Scenario& b) { return a.order < b.order; });
    return scenarios;
}

}  // namespace kepbench

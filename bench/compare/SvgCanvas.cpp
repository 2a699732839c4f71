#include "SvgCanvas.h"

#include <algorithm>
#include <fstream>

#include "Report.h"

namespace kepbench {

namespace {

constexpr double kRowHeight = 210;  // title, 150 px of bars, labels
constexpr double kBarsTop = 40;     // bars start this far below the row's top
constexpr double kBarsHeight = 150;
constexpr double kSlotWidth = 420;
constexpr double kBottomMargin = 40;

}  // namespace

double SvgCanvas::Band(double height) {
    m_slotsInRow = 2;
    const double top = m_bottom;
    m_bottom += height;
    return top;
}

void SvgCanvas::Bars(const std::string& title,
                     const std::vector<std::pair<std::string, double>>& bars, const char* unit,
                     int decimals) {
    if (m_slotsInRow == 2) {
        m_rowTop = m_bottom;
        m_bottom += kRowHeight;
        m_slotsInRow = 0;
    }
    const double x0 = kLeft + m_slotsInRow * kSlotWidth;
    ++m_slotsInRow;
    const double top = m_rowTop + kBarsTop;
    double maxValue = 0;
    for (const auto& bar : bars)
        maxValue = std::max(maxValue, bar.second);
    if (maxValue <= 0)
        maxValue = 1;
    m_body << "<text x='" << x0 << "' y='" << top - 16 << "' font-size='15'>" << title
           << "</text>\n";
    const double gap = 20;
    const double n = static_cast<double>(std::max<std::size_t>(bars.size(), 1));
    const double w = std::min(90.0, (kSlotWidth - 40 - gap * (n - 1)) / n);
    for (std::size_t i = 0; i < bars.size(); ++i) {
        const double h = bars[i].second / maxValue * kBarsHeight;
        const double x = x0 + static_cast<double>(i) * (w + gap);
        m_body << "<rect x='" << x << "' y='" << top + kBarsHeight - h << "' width='" << w
               << "' height='" << h << "' fill='#888'/>\n<text x='" << x + w / 2 << "' y='"
               << top + kBarsHeight - h - 4 << "' text-anchor='middle'>"
               << Fixed(bars[i].second, decimals) << " " << unit << "</text>\n<text x='"
               << x + w / 2 << "' y='" << top + kBarsHeight + 16 << "' text-anchor='middle'>"
               << bars[i].first << "</text>\n";
    }
}

void SvgCanvas::Write(const std::string& path) const {
    std::ofstream svg(path);
    svg << "<svg xmlns='http://www.w3.org/2000/svg' width='" << kWidth << "' height='"
        << m_bottom + kBottomMargin
        << "' font-family='sans-serif' font-size='12'>\n<rect width='100%' height='100%' "
           "fill='white'/>\n"
        << m_body.str() << "</svg>\n";
}

}  // namespace kepbench

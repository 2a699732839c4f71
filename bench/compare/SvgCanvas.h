// SvgCanvas: the plot kep_compare draws itself, top to bottom. A scenario takes a full-width
// band for a large chart, or the next half-width slot (two to a row) for a bar chart. Used by
// one thread; the file is written once at the end.
#pragma once

#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace kepbench {

class SvgCanvas {
  public:
    static constexpr int kWidth = 900;
    static constexpr int kLeft = 70;  // left edge of every chart, room for the axis labels

    // The SVG body, for a band's own drawing.
    std::ostream& Out() { return m_body; }
    // Reserves a full-width band of the given height below everything drawn; returns its top.
    double Band(double height);
    // Draws a bar chart with a title, one labelled bar per value, in the next half-width slot.
    void Bars(const std::string& title, const std::vector<std::pair<std::string, double>>& bars,
              const char* unit, int decimals = 1);
    // Writes the whole picture to path.
    void Write(const std::string& path) const;

  private:
    std::ostringstream m_body;
    double m_bottom = 0;   // below everything reserved
    double m_rowTop = 0;   // the top of the half-width row being filled
    int m_slotsInRow = 2;  // slots used in that row; 2 means a new row is needed
};

}  // namespace kepbench

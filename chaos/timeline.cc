#include "chaos/timeline.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <map>

#include "chaos/fault.h"
#include "chaos/report.h"

namespace wendlemoor {

namespace {

constexpr int kWidth = 1600;
constexpr int kLeft = 110;  // room for the lanes' names
constexpr int kRight = 20;
constexpr int kPlot = kWidth - kLeft - kRight;
constexpr int kFaultRow = 11;
// At most this many bars in all lanes together: about 70 bytes each.
constexpr int kBarBudget = 24000;
constexpr int kFaultsTop = 70;
constexpr int kFaultKinds = kFaultCount;

std::string Format(const char* format, auto... arguments) {
  char text[1024];
  std::snprintf(text, sizeof text, format, arguments...);
  return text;
}

// Distinct, stable colours: the golden angle apart on the hue circle.
std::string ProcessColour(int index) {
  const int hue = int(std::fmod(index * 137.508, 360.0));
  return Format("hsl(%d,65%%,%d%%)", hue, 42 + (index % 3) * 8);
}

// A tick step of 1, 2 or 5 times a power of ten giving about ten ticks.
double TickStep(double seconds) {
  const double raw = seconds / 10;
  const double power = std::pow(10.0, std::floor(std::log10(raw)));
  for (double m : {1.0, 2.0, 5.0}) {
    if (m * power >= raw) return m * power;
  }
  return 10 * power;
}

// Where everything goes, shared by every part of the picture: a row per kind
// of fault, a lane per name below them, the time axis under the lanes.
struct Layout {
  std::uint64_t t0;  // the run's start, at the left edge of the plot
  double span;       // of the plot, in nanoseconds
  double scale;      // pixels per nanosecond
  int names;
  int lane;  // the height of a lane, in pixels
  int lanes_top;
  int axis;
  int height;

  // The distance from the plot's left edge of the time `t`, in pixels.
  double X(std::uint64_t t) const { return double(t - t0) * scale; }
};

Layout LayoutOf(const ChaosCheck& check, int names) {
  Layout layout;
  layout.t0 = check.figures.start;
  layout.span = std::max<double>(1.0, double(check.figures.end - layout.t0));
  layout.scale = kPlot / layout.span;
  layout.names = names;
  layout.lane = std::clamp(600 / std::max(names, 1), 4, 24);
  layout.lanes_top = kFaultsTop + kFaultKinds * kFaultRow + 12;
  layout.axis = layout.lanes_top + names * layout.lane + 4;
  layout.height = layout.axis + 30;
  return layout;
}

// The colour index of each process that held a name: by first appearance.
std::map<std::int32_t, int> ProcessIndex(const ChaosCheck& check) {
  std::map<std::int32_t, int> process;
  for (const ChaosHold& hold : check.holds) {
    process.emplace(hold.pid, int(process.size()));
  }
  return process;
}

// The document's opening: its size, its title and a white background.
std::string Frame(const Layout& layout, const std::string& title) {
  std::string svg = Format(
      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\" "
      "viewBox=\"0 0 %d %d\" font-family=\"sans-serif\" font-size=\"11\">\n",
      kWidth, layout.height, kWidth, layout.height);
  svg += "<title>" + XmlEscaped(title) + "</title>\n";
  svg += Format("<rect width=\"%d\" height=\"%d\" fill=\"#fff\"/>\n", kWidth,
                layout.height);
  return svg;
}

// The heading: the title, what was run, and how to read the picture.
std::string Heading(const ChaosCheck& check, std::size_t processes,
                    const std::string& title, const std::string& run) {
  std::string svg =
      Format("<text x=\"%d\" y=\"22\" font-size=\"15\" font-weight=\"bold\">",
             kLeft) +
      XmlEscaped(title) + "</text>\n";
  svg += Format(
      "<text x=\"%d\" y=\"40\">%s</text>\n"
      "<text x=\"%d\" y=\"56\">%zu holds by %zu processes: a lane per name, "
      "each hold a bar coloured by its process; red above a lane marks "
      "overlapping holds (%llu)</text>\n",
      kLeft, XmlEscaped(run).c_str(), kLeft, check.holds.size(), processes,
      (unsigned long long)check.verdict.overlaps);
  return svg;
}

// The fault rows: a tick per pixel column where a fault of the kind struck.
// Those whose class marks the lanes (removals, kills) also reach across
// them: the bars go on after them afresh.
std::string FaultMarks(const Layout& layout,
                       const std::vector<ChaosRecord>& history) {
  std::vector<std::vector<bool>> struck(kFaultKinds,
                                        std::vector<bool>(kPlot + 1));
  for (const ChaosRecord& r : history) {
    if (r.event != ChaosEvent::kFault || r.call >= kFaultKinds) continue;
    struck[r.call]
          [std::size_t(std::clamp(layout.X(r.time), 0.0, double(kPlot)))] =
              true;
  }
  std::string svg;
  for (const FaultClass& fault : FaultTable()) {
    const int kind = static_cast<int>(fault.fault);
    const int y = kFaultsTop + kind * kFaultRow;
    svg += Format(
        "<text x=\"%d\" y=\"%d\" text-anchor=\"end\" "
        "font-size=\"9\" fill=\"%s\">%s</text>\n",
        kLeft - 6, y + 8, fault.colour, fault.name);
    svg += Format("<path stroke=\"%s\" d=\"", fault.colour);
    for (int c = 0; c <= kPlot; ++c) {
      if (struck[kind][c]) {
        svg += Format("M%d.5 %dv9", kLeft + c, y);
      }
    }
    svg += "\"/>\n";
  }
  svg += "<path stroke=\"#2166ac\" stroke-opacity=\"0.35\" d=\"";
  for (int c = 0; c <= kPlot; ++c) {
    bool across = false;
    for (const FaultClass& fault : FaultTable()) {
      across = across || (fault.marks_lanes && struck[int(fault.fault)][c]);
    }
    if (across) {
      svg += Format("M%d.5 %dv%d", kLeft + c, layout.lanes_top,
                    layout.names * layout.lane);
    }
  }
  svg += "\"/>\n";
  return svg;
}

// The lanes' names and grey backgrounds.
std::string Lanes(const Layout& layout) {
  std::string svg;
  for (int name = 0; name < layout.names; ++name) {
    const int y = layout.lanes_top + name * layout.lane;
    // Thin lanes are named every few lanes, so that the names stay legible.
    if (name % ((12 + layout.lane - 1) / layout.lane) == 0) {
      svg += Format(
          "<text x=\"%d\" y=\"%d\" text-anchor=\"end\">chaos-%d"
          "</text>\n",
          kLeft - 6, y + std::max(layout.lane / 2 + 4, 8), name);
    }
    svg += Format(
        "<rect x=\"%d\" y=\"%d\" width=\"%d\" height=\"%d\" "
        "fill=\"#f2f2f2\"/>\n",
        kLeft, y, kPlot, layout.lane - 2);
  }
  return svg;
}

// The lanes cut into columns: in each, the process that held the name
// longest within it, and whether holds overlapped there.
struct Columns {
  int count;
  double width;                            // of a column, in pixels
  std::vector<std::vector<int>> who;       // [name][column]: -1 for nobody
  std::vector<std::vector<bool>> overlap;  // [name][column]
};

Columns ColumnsOf(const Layout& layout, const ChaosCheck& check,
                  const std::map<std::int32_t, int>& process) {
  const std::size_t names = std::size_t(layout.names);
  Columns columns;
  // Many lanes share a budget of bars: a lane gets fewer, wider columns.
  columns.count = std::clamp(kBarBudget / std::max(layout.names, 1), 1, kPlot);
  columns.width = double(kPlot) / columns.count;
  const std::size_t count = std::size_t(columns.count);
  columns.who.assign(names, std::vector<int>(count, -1));
  columns.overlap.assign(names, std::vector<bool>(count, false));
  std::vector<std::vector<double>> cover(names,
                                         std::vector<double>(count, 0.0));
  for (const ChaosHold& hold : check.holds) {
    if (hold.name >= layout.names) continue;
    const double a = layout.X(hold.start) / columns.width;
    const double b = std::max(layout.X(hold.end) / columns.width, a + 1e-9);
    for (int c = int(a); c < columns.count && c < int(std::ceil(b)); ++c) {
      const double covered = std::min(b, c + 1.0) - std::max(a, double(c));
      if (covered > cover[hold.name][c]) {
        cover[hold.name][c] = covered;
        columns.who[hold.name][c] = process.at(hold.pid);
      }
      if (hold.overlaps) columns.overlap[hold.name][c] = true;
    }
  }
  return columns;
}

// The holds as bars in their lanes, a bar per run of columns of one process,
// and a red mark above the columns where holds overlap.
std::string Bars(const Layout& layout, const Columns& columns) {
  const double width = columns.width;
  std::string svg;
  for (int name = 0; name < layout.names; ++name) {
    const int y = layout.lanes_top + name * layout.lane;
    const std::vector<int>& who = columns.who[name];
    for (int c = 0; c < columns.count;) {
      int end = c + 1;
      while (end < columns.count && who[end] == who[c]) ++end;
      if (who[c] >= 0) {
        svg += Format(
            "<rect x=\"%.1f\" y=\"%d\" width=\"%.1f\" height=\"%d\" "
            "fill=\"%s\"/>\n",
            kLeft + c * width, y, (end - c) * width, layout.lane - 2,
            ProcessColour(who[c]).c_str());
      }
      c = end;
    }
    svg += "<path stroke=\"#e00\" stroke-width=\"3\" d=\"";
    for (int c = 0; c < columns.count; ++c) {
      if (columns.overlap[name][c]) {
        svg += Format("M%.1f %dh%.1f", kLeft + c * width, y + 1, width);
      }
    }
    svg += "\"/>\n";
  }
  return svg;
}

// The time axis under the lanes, in seconds from the start.
std::string Axis(const Layout& layout) {
  const double seconds = layout.span / 1e9;
  const double step = TickStep(seconds);
  std::string svg = Format("<path stroke=\"#000\" d=\"M%d %dh%d\"/>\n", kLeft,
                           layout.axis, kPlot);
  for (double t = 0; t <= seconds + 1e-9; t += step) {
    const double x = kLeft + t * 1e9 * layout.scale;
    svg += Format(
        "<path stroke=\"#000\" d=\"M%.1f %dv5\"/>"
        "<text x=\"%.1f\" y=\"%d\" text-anchor=\"middle\">%g s"
        "</text>\n",
        x, layout.axis, x, layout.axis + 17, std::round(t * 1e6) / 1e6);
  }
  return svg;
}

}  // namespace

std::string TimelineSvg(const ChaosCheck& check,
                        const std::vector<ChaosRecord>& history, int names,
                        const std::string& title, const std::string& run) {
  const Layout layout = LayoutOf(check, names);
  const std::map<std::int32_t, int> process = ProcessIndex(check);
  return Frame(layout, title) + Heading(check, process.size(), title, run) +
         FaultMarks(layout, history) + Lanes(layout) +
         Bars(layout, ColumnsOf(layout, check, process)) + Axis(layout) +
         "</svg>\n";
}

}  // namespace wendlemoor

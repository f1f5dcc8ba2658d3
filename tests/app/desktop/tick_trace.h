// The program's tick trace (VANTALOOP_TRACE_TICKS=1 on its standard error), read back: when each
// frame was started, how long it drew, when the GUI thread took it, how long the oldest edit it
// shows waited for it to start, and when the view painted. Times in ms on the steady clock.
#pragma once
#include <algorithm>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

namespace vl::xtest {

struct TracedTick {
  double started = 0, drawn_ms = 0, taken_after_ms = 0;
  int changes = 0;
  double waited_ms = 0;  // the oldest change, from its post to the tick's start
  double taken() const { return started + drawn_ms + taken_after_ms; }
};

struct TickTrace {
  std::vector<TracedTick> ticks;
  std::vector<double> paints;
  // The first paint at or after `t`, or -1.
  double PaintAfter(double t) const {
    auto it = std::lower_bound(paints.begin(), paints.end(), t);
    return it == paints.end() ? -1 : *it;
  }
};

inline TickTrace ParseTickTrace(const std::string& text) {
  TickTrace trace;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    TracedTick t;
    double painted = 0;
    if (std::sscanf(line.c_str(), "vantaloop: tick at %lf ms: drawn in %lf ms, taken %lf ms later", &t.started,
                    &t.drawn_ms, &t.taken_after_ms) == 3) {
      const auto semi = line.find("; ");
      if (semi != std::string::npos)
        std::sscanf(line.c_str() + semi, "; %d changes, the oldest posted %lf ms", &t.changes, &t.waited_ms);
      trace.ticks.push_back(t);
    } else if (std::sscanf(line.c_str(), "vantaloop: painted at %lf ms", &painted) == 1) {
      trace.paints.push_back(painted);
    }
  }
  std::sort(trace.paints.begin(), trace.paints.end());
  return trace;
}

inline double Median(std::vector<double> v) {
  if (v.empty()) return -1;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

inline double Max(const std::vector<double>& v) { return v.empty() ? -1 : *std::max_element(v.begin(), v.end()); }

// Where an edit's time goes, over the frames that showed edits: waiting for the tick to start,
// drawing and reading back, the hand-over to the GUI thread, and on to the paint.
inline void PrintEditBreakdown(const TickTrace& trace, const char* what) {
  std::vector<double> waited, drawn, taken, painted;
  for (const TracedTick& t : trace.ticks) {
    if (t.changes == 0) continue;
    waited.push_back(t.waited_ms);
    drawn.push_back(t.drawn_ms);
    taken.push_back(t.taken_after_ms);
    const double paint = trace.PaintAfter(t.taken());
    if (paint >= 0) painted.push_back(paint - t.taken());
  }
  std::printf(
      "%s, medians over %zu frames showing edits: posted to tick start %.1f ms, tick (pause, draw, "
      "read back) %.1f ms, to the GUI thread %.1f ms, to the paint %.1f ms\n",
      what, waited.size(), Median(waited), Median(drawn), Median(taken), Median(painted));
}

}  // namespace vl::xtest

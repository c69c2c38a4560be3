#ifndef AMPERVALE_SIM_CHART_H_
#define AMPERVALE_SIM_CHART_H_

#include <string>

namespace ampervale::sim {

// The gnuplot script that draws a trace (see trace.h) as a PNG chart: the
// battery level over simulated hours, with every SMC write marked and
// labelled.
std::string ChartScript(const std::string& trace_path,
                        const std::string& png_path);

// Draws the chart with gnuplot. Throws NativeControlError when the trace
// cannot be read, gnuplot is not installed, or gnuplot fails.
void DrawChart(const std::string& trace_path, const std::string& png_path);

}  // namespace ampervale::sim

#endif  // AMPERVALE_SIM_CHART_H_

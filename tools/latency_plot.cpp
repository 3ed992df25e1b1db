#include "tools/latency_plot.h"

#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <sstream>

namespace q407::tools {
namespace {

// Gnuplot takes the file name between single quotes, where only a quote needs doubling.
std::string Quoted(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
        if (c == '\'')
            out += "''";
        else if (c != '\n' && c != '\r')
            out += c;
    }
    return out + "'";
}

}  // namespace

std::string LatencyPlotScript(const LatencyPlot& plot, const std::string& pngPath) {
    // From a little before the impulse to a little after its return.
    const int64_t span = std::max<int64_t>(plot.latencyFrames, 64);
    const int64_t from = std::max<int64_t>(0, plot.impulseFrame - span / 8);
    const int64_t to = plot.impulseFrame + span + span / 4;
    const double ms = plot.rate != 0 ? 1000.0 / plot.rate : 0.0;
    std::ostringstream s;
    s << "set terminal pngcairo size 1200,600\n"
      << "set output " << Quoted(pngPath) << "\n"
      << "set title " << Quoted(plot.title) << "\n"
      << "set xlabel 'frame'\nset ylabel 'sample (full scale = 1)'\n"
      << "set yrange [-1.1:1.1]\nset grid\nset key top right\n";
    if (plot.latencyFrames >= 0) {
        const int64_t back = plot.impulseFrame + plot.latencyFrames;
        char label[160];
        std::snprintf(label, sizeof(label), "round trip %lld frames (%.3f ms)",
                      static_cast<long long>(plot.latencyFrames), double(plot.latencyFrames) * ms);
        s << "set arrow 1 from " << plot.impulseFrame << ",0.9 to " << back
          << ",0.9 heads lw 2 lc rgb 'black'\n"
          << "set label 1 " << Quoted(label) << " at " << (plot.impulseFrame + back) / 2
          << ",0.97 center\n"
          << "set arrow 2 from " << back << ",-1.05 to " << back
          << ",1.05 nohead dt 2 lc rgb 'gray40'\n";
    }
    if (plot.reportedFrames >= 0) {
        char label[160];
        std::snprintf(label, sizeof(label), "reported %lld",
                      static_cast<long long>(plot.reportedFrames));
        const int64_t at = plot.impulseFrame + plot.reportedFrames;
        s << "set arrow 3 from " << at << ",-1.05 to " << at
          << ",1.05 nohead dt 3 lc rgb 'dark-green'\n"
          << "set label 2 " << Quoted(label) << " at " << at << ",-0.9 left offset 0.5,0\n";
    }
    auto block = [&](const char* name, const std::vector<int32_t>& samples) {
        s << "$" << name << " << EOD\n";
        for (int64_t f = from; f <= to && f < static_cast<int64_t>(samples.size()); ++f)
            s << f << " " << double(samples[size_t(f)]) / 2147483648.0 << "\n";
        s << "EOD\n";
    };
    block("played", plot.played);
    block("recorded", plot.recorded);
    s << "plot $played using 1:2 with steps lw 1.5 lc rgb 'blue' title 'played', "
         "$recorded using 1:2 with steps lw 1.5 lc rgb 'red' title 'recorded'\n";
    return s.str();
}

bool WriteLatencyPlot(const LatencyPlot& plot, const std::string& pngPath, std::string* error) {
    FILE* gnuplot = popen("gnuplot >/dev/null 2>&1", "w");
    if (gnuplot == nullptr) {
        *error = "cannot start gnuplot (bash scripts/setup.sh gnuplot-nox installs it)";
        return false;
    }
    const std::string script = LatencyPlotScript(plot, pngPath);
    const size_t written = std::fwrite(script.data(), 1, script.size(), gnuplot);
    const int status = pclose(gnuplot);
    if (written != script.size() || status == -1 || !WIFEXITED(status) ||
        WEXITSTATUS(status) != 0) {
        *error = "gnuplot could not draw '" + pngPath +
                 "' (is gnuplot installed? bash scripts/setup.sh gnuplot-nox)";
        return false;
    }
    return true;
}

}  // namespace q407::tools

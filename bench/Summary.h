// What the benchmark programs share: they run with the repetitions of all
// benchmarks in random order, print Google Benchmark's usual table and then a
// summary, one line per figure: the library's median beside its baseline's
// from the same run, their ratio and the goal. A baseline measured in the same
// process and the same minutes keeps the figure comparable on a machine that
// other work is using; random order spreads a burst of that work over both.
#pragma once

#include <benchmark/benchmark.h>
#include <fmt/format.h>
#include <time.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace bench {

// The medians of one benchmark: its counters, and its "cpu_time" in the
// benchmark's time unit.
using Medians = std::map<std::string, double>;

struct Figure {
  std::string label;     // what is compared, with its unit
  std::string run;       // the library's benchmark: name, then arguments and threads
  std::string baseline;  // the baseline's, named the same way
  std::string field;     // the counter or time shown for both
  char goal = 0;         // '<' at most, '>' at least, 0 none
  double limit = 0;
  bool absolute = false;  // the goal is on the library's own figure, not on the ratio
  // Replaces the plain ratio of `field` where a figure combines several.
  std::function<double(const Medians& library, const Medians& baseline)> ratio = nullptr;
};

// Ends the program when a run fails its own check: the figures of a run that
// went wrong mean nothing, and Google Benchmark 1.7 crashes aggregating
// repetitions of which only some failed.
[[noreturn]] inline void Fail(const std::string& why) {
  std::cout.flush();
  std::cerr << "FAILED: " << why << std::endl;
  std::_Exit(1);
}

inline double CpuSeconds(clockid_t clock) {
  timespec now{};
  clock_gettime(clock, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  explicit SummaryReporter(std::vector<Figure> figures) : figures_(std::move(figures)) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      // The median stands for the benchmark: it shrugs off a repetition that
      // other load on the machine disturbed.
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median") continue;
      std::string key = run.run_name.function_name;
      for (const std::string* part : {&run.run_name.args, &run.run_name.threads}) {
        if (!part->empty()) key += "/" + *part;
      }
      Medians& medians = medians_[key];
      for (const auto& [name, counter] : run.counters) medians[name] = counter.value;
      medians["cpu_time"] = run.GetAdjustedCPUTime();
    }
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    std::ostream& out = GetOutputStream();
    std::size_t width = 0;
    for (const Figure& figure : figures_) width = std::max(width, figure.label.size());
    out << fmt::format("\n{:<{}} {:>9} {:>9} {:>8}  goal\n", "figure (medians)", width, "library",
                       "baseline", "ratio");
    for (const Figure& figure : figures_) {
      const auto library = medians_.find(figure.run);
      const auto baseline = medians_.find(figure.baseline);
      if (library == medians_.end() || baseline == medians_.end()) continue;  // filtered out
      const double mine = library->second[figure.field];
      const double base = baseline->second[figure.field];
      const double ratio =
          figure.ratio ? figure.ratio(library->second, baseline->second) : mine / base;
      // A count whose baseline is zero (wake-ups of a sleeping thread) has no
      // ratio; its goal, if any, is on the library's own figure.
      const std::string shown =
          !figure.ratio && base == 0 ? std::string("-") : fmt::format("{:.3f}", ratio);
      out << fmt::format("{:<{}} {:>9} {:>9} {:>8}", figure.label, width, Number(mine),
                         Number(base), shown);
      if (figure.goal != 0) {
        const double value = figure.absolute ? mine : ratio;
        const bool met = figure.goal == '<' ? value <= figure.limit : value >= figure.limit;
        out << fmt::format("  {} {}= {} {}", figure.absolute ? "library" : "ratio", figure.goal,
                           figure.limit, met ? "met" : "MISSED");
      }
      out << "\n";
    }
  }

 private:
  // Millions from 10^6, whole numbers from 10^4, else four significant
  // digits: 1179M, 11.23M, 245042, 9.377.
  static std::string Number(double value) {
    if (value >= 1e6) return fmt::format("{:.4g}M", value / 1e6);
    return fmt::format(fmt::runtime(value >= 1e4 ? "{:.0f}" : "{:.4g}"), value);
  }

  std::vector<Figure> figures_;
  std::map<std::string, Medians> medians_;
};

// Runs the registered benchmarks and prints `figures`. A flag on the command
// line overrides the random order.
inline int RunAndSummarise(int argc, char** argv, std::vector<Figure> figures) {
  static char interleave[] = "--benchmark_enable_random_interleaving=true";
  std::vector<char*> arguments(argv, argv + argc + 1);  // with the closing null
  arguments.insert(arguments.begin() + 1, interleave);
  int count = argc + 1;
  benchmark::Initialize(&count, arguments.data());
  if (benchmark::ReportUnrecognizedArguments(count, arguments.data())) return 1;
  SummaryReporter reporter(std::move(figures));
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}

}  // namespace bench

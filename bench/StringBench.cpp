// Throughput of the string helpers, each beside a baseline measured in the
// same run: OpenSSL's EVP_EncodeBlock for Base64, std::from_chars for
// ToUint64, and a hand loop over std::string_view for the splitting. After the
// usual table the run prints each helper's speed as a ratio to its baseline,
// with the goal where there is one.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <charconv>
#include <cstdint>
#include <iomanip>
#include <map>
#include <ostream>
#include <random>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "talvorncommon/StringUtils.h"

namespace {

using namespace TalvornCommon;

std::vector<char> RandomBytes(std::size_t size) {
  std::mt19937 random(42);
  std::uniform_int_distribution<int> byte(0, 255);
  std::vector<char> bytes(size);
  for (char& b : bytes) b = static_cast<char>(byte(random));
  return bytes;
}

// A comma-separated line of about `size` bytes with fields of 0 to 12 letters,
// empty ones included, as in a CSV export.
std::string CsvLine(std::size_t size) {
  std::mt19937 random(7);
  std::uniform_int_distribution<int> length(0, 12);
  std::uniform_int_distribution<int> letter('a', 'z');
  std::string line;
  while (line.size() < size) {
    if (!line.empty()) line += ',';
    for (int n = length(random); n > 0; --n) line += static_cast<char>(letter(random));
  }
  return line;
}

// 1000 unsigned numbers of 1 to 20 digits, all within 64 bits.
std::vector<std::string> Numbers() {
  std::mt19937_64 random(11);
  std::uniform_int_distribution<int> digits(1, 20);
  std::vector<std::string> numbers;
  for (int i = 0; i < 1000; ++i) {
    std::string number = std::to_string(random());
    number.resize(std::min<std::size_t>(number.size(), static_cast<std::size_t>(digits(random))));
    numbers.push_back(number);
  }
  return numbers;
}

void BM_Base64_Library(benchmark::State& state) {
  const std::vector<char> data = RandomBytes(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    std::string text = StringUtils::CharVectorToBase64(data);
    benchmark::DoNotOptimize(text.data());
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_Base64_Baseline(benchmark::State& state) {
  const std::vector<char> data = RandomBytes(static_cast<std::size_t>(state.range(0)));
  std::vector<unsigned char> out(4 * ((data.size() + 2) / 3) + 1);
  for (auto _ : state) {
    const int written =
        EVP_EncodeBlock(out.data(), reinterpret_cast<const unsigned char*>(data.data()),
                        static_cast<int>(data.size()));
    benchmark::DoNotOptimize(written);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_Split_Library(benchmark::State& state) {
  const std::string line = CsvLine(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    std::vector<std::string> pieces = StringUtils::Split(line, ',');
    benchmark::DoNotOptimize(pieces.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(line.size()));
}

// Views instead of owned strings: the floor any splitter that copies its
// pieces is measured against.
void BM_Split_Baseline(benchmark::State& state) {
  const std::string line = CsvLine(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    std::vector<std::string_view> pieces;
    std::string_view rest = line;
    while (true) {
      const std::size_t comma = rest.find(',');
      pieces.push_back(rest.substr(0, comma));
      if (comma == std::string_view::npos) break;
      rest.remove_prefix(comma + 1);
    }
    benchmark::DoNotOptimize(pieces.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(line.size()));
}

// QuickSplit of the middle piece; bytes counted are those up to that piece's
// end, the part either side has to read.
struct MiddlePiece {
  std::string line;
  int index;
  int64_t scanned;
};

MiddlePiece MakeMiddlePiece(std::size_t size) {
  MiddlePiece middle{CsvLine(size), 0, 0};
  const std::vector<std::string> pieces = StringUtils::Split(middle.line, ',');
  middle.index = static_cast<int>(pieces.size() / 2);
  for (int i = 0; i <= middle.index; ++i) {
    middle.scanned += static_cast<int64_t>(pieces[static_cast<std::size_t>(i)].size()) + 1;
  }
  return middle;
}

void BM_QuickSplit_Library(benchmark::State& state) {
  const MiddlePiece middle = MakeMiddlePiece(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    std::string piece = StringUtils::QuickSplit(middle.line, ',', middle.index);
    benchmark::DoNotOptimize(piece.data());
  }
  state.SetBytesProcessed(state.iterations() * middle.scanned);
}

void BM_QuickSplit_Baseline(benchmark::State& state) {
  const MiddlePiece middle = MakeMiddlePiece(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    std::string_view rest = middle.line;
    for (int i = 0; i < middle.index && !rest.empty(); ++i) {
      const std::size_t comma = rest.find(',');
      rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    }
    std::string piece(rest.substr(0, rest.find(',')));
    benchmark::DoNotOptimize(piece.data());
  }
  state.SetBytesProcessed(state.iterations() * middle.scanned);
}

int64_t TotalSize(const std::vector<std::string>& texts) {
  int64_t total = 0;
  for (const std::string& text : texts) total += static_cast<int64_t>(text.size());
  return total;
}

void BM_ToUint64_Library(benchmark::State& state) {
  const std::vector<std::string> numbers = Numbers();
  for (auto _ : state) {
    uint64_t sum = 0;
    for (const std::string& number : numbers) sum += StringUtils::ToUint64(number, 0);
    benchmark::DoNotOptimize(sum);
  }
  state.SetBytesProcessed(state.iterations() * TotalSize(numbers));
}

// The same whole-string rule written with from_chars.
void BM_ToUint64_Baseline(benchmark::State& state) {
  const std::vector<std::string> numbers = Numbers();
  for (auto _ : state) {
    uint64_t sum = 0;
    for (const std::string& number : numbers) {
      uint64_t value = 0;
      const char* const end = number.data() + number.size();
      const auto [stop, error] = std::from_chars(number.data(), end, value);
      sum += !number.empty() && error == std::errc() && stop == end ? value : 0;
    }
    benchmark::DoNotOptimize(sum);
  }
  state.SetBytesProcessed(state.iterations() * TotalSize(numbers));
}

BENCHMARK(BM_Base64_Library)->Arg(60)->Arg(64 << 10);
BENCHMARK(BM_Base64_Baseline)->Arg(60)->Arg(64 << 10);
BENCHMARK(BM_Split_Library)->Arg(100)->Arg(4 << 10);
BENCHMARK(BM_Split_Baseline)->Arg(100)->Arg(4 << 10);
BENCHMARK(BM_QuickSplit_Library)->Arg(100)->Arg(4 << 10);
BENCHMARK(BM_QuickSplit_Baseline)->Arg(100)->Arg(4 << 10);
BENCHMARK(BM_ToUint64_Library);
BENCHMARK(BM_ToUint64_Baseline);

// The console table, followed by library / baseline for each pair of runs
// named BM_<What>_Library<args> and BM_<What>_Baseline<args>.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      const auto rate = run.counters.find("bytes_per_second");
      if (run.error_occurred || rate == run.counters.end()) continue;
      // With repetitions the median stands for the benchmark: it shrugs off
      // the odd repetition disturbed by other load on the machine.
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median") continue;
      bytesPerSecond[run.run_name.str()] = rate->second.value;
    }
  }

  void Finalize() override {
    static const std::map<std::string, double> kGoals = {{"Base64", 0.3}, {"ToUint64", 0.9}};
    std::ostream& out = GetOutputStream();
    out << "\nlibrary / baseline (bytes per second):\n";
    for (const auto& [name, rate] : bytesPerSecond) {
      const std::size_t at = name.find("_Library");
      if (at == std::string::npos) continue;
      std::string baseline = name;
      baseline.replace(at, 8, "_Baseline");
      const auto other = bytesPerSecond.find(baseline);
      if (other == bytesPerSecond.end() || other->second <= 0) continue;
      const std::string what = name.substr(3, at - 3);
      const double ratio = rate / other->second;
      out << "  " << std::left << std::setw(28) << name.substr(3) << std::right << std::fixed
          << std::setprecision(2) << ratio << "x";
      if (const auto goal = kGoals.find(what); goal != kGoals.end()) {
        out << "  (goal " << goal->second << "x: " << (ratio >= goal->second ? "met" : "MISSED")
            << ")";
      }
      out << "\n";
    }
    ConsoleReporter::Finalize();
  }

 private:
  std::map<std::string, double> bytesPerSecond;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}

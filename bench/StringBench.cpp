// Throughput of the Base64 encoder and of ToUint64, each beside a baseline
// measured in the same run: OpenSSL's EVP_EncodeBlock into a buffer sized up
// front, and std::from_chars under the same whole-string rule.
#include <openssl/evp.h>

#include <charconv>
#include <cstdint>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#include "Summary.h"
#include "talvorncommon/StringUtils.h"

namespace {

using namespace TalvornCommon::StringUtils;

// Registers `work` as the benchmark `name`, which handles `bytes` bytes per
// call. The loop sees the lambda's own type, so the call is inlined on both
// sides rather than made through a pointer.
template <typename Work>
void Add(const std::string& name, std::int64_t bytes, Work work) {
  benchmark::RegisterBenchmark(name.c_str(),
                               [=](benchmark::State& state) mutable {
                                 for (auto _ : state) work();
                                 state.SetBytesProcessed(state.iterations() * bytes);
                               })
      ->Repetitions(5)
      ->ReportAggregatesOnly(true)
      ->MinTime(0.2);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<bench::Figure> figures;
  std::mt19937_64 random(42);
  // The goals are fractions of the baseline's speed: the encoder grows its
  // result one character at a time by contract, which costs it against an
  // encoder that writes into a buffer sized up front.
  for (const std::size_t size : {60, 64 << 10}) {
    std::vector<char> data(size);
    for (char& byte : data) byte = static_cast<char>(random());
    std::vector<unsigned char> out(4 * ((size + 2) / 3) + 1);
    const std::string name = "Base64/" + std::to_string(size);
    Add(name + "/library", static_cast<std::int64_t>(size),
        [data] { benchmark::DoNotOptimize(CharVectorToBase64(data)); });
    Add(name + "/OpenSSL", static_cast<std::int64_t>(size), [data, out]() mutable {
      benchmark::DoNotOptimize(EVP_EncodeBlock(out.data(),
                                               reinterpret_cast<const unsigned char*>(data.data()),
                                               static_cast<int>(data.size())));
      benchmark::ClobberMemory();
    });
    figures.push_back({"Base64 of " + std::to_string(size) + " B, bytes/s: library / OpenSSL",
                       name + "/library", name + "/OpenSSL", "bytes_per_second", '>', 0.3});
  }
  // 1000 unsigned numbers of 1 to 20 digits, all within 64 bits.
  std::vector<std::string> numbers;
  std::int64_t bytes = 0;
  for (int i = 0; i < 1000; ++i) {
    numbers.push_back(std::to_string(random()).substr(0, 1 + random() % 20));
    bytes += static_cast<std::int64_t>(numbers.back().size());
  }
  Add("ToUint64/library", bytes, [numbers] {
    std::uint64_t sum = 0;
    for (const std::string& number : numbers) sum += ToUint64(number, 0);
    benchmark::DoNotOptimize(sum);
  });
  Add("ToUint64/from_chars", bytes, [numbers] {
    std::uint64_t sum = 0;
    for (const std::string& number : numbers) {
      std::uint64_t value = 0;
      const char* const end = number.data() + number.size();
      const auto [stop, error] = std::from_chars(number.data(), end, value);
      sum += !number.empty() && error == std::errc() && stop == end ? value : 0;
    }
    benchmark::DoNotOptimize(sum);
  });
  figures.push_back({"ToUint64 of 1-20 digits, bytes/s: library / from_chars", "ToUint64/library",
                     "ToUint64/from_chars", "bytes_per_second", '>', 0.9});
  return bench::RunAndSummarise(argc, argv, std::move(figures));
}

// The seen-message list of an account with a long history: the search of
// the list with 100,000 identifiers, beside the plain scan the list would
// need without its index, and the file read and written back at every check.
//
// Run: build/release/bench/seen_list_bench
#include <benchmark/benchmark.h>

#include <algorithm>
#include <deque>
#include <string>
#include <vector>

#include "checker/seen_list.h"
#include "support/working_folder.h"

namespace corvel {
namespace {

constexpr std::size_t kSeenIdentifiers = 100000;

std::string Identifier(std::size_t i) { return "1765000000.M" + std::to_string(i) + "P1.host"; }

void BM_SeenListSearch(benchmark::State& state) {
  SeenList list;
  for (std::size_t i = 0; i < kSeenIdentifiers; ++i) list.Append(Identifier(i));
  // Half the lookups find an identifier (spread over the list), half do not.
  std::vector<std::string> probes;
  for (std::size_t i = 0; i < 1000; ++i) {
    probes.push_back(i % 2 == 0 ? Identifier(i * 97 % kSeenIdentifiers) : "new-" + Identifier(i));
  }
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(list.Contains(probes[i++ % probes.size()]));
  }
}
BENCHMARK(BM_SeenListSearch);

// The same lookups as a scan from the first entry, as the list would search
// without its index.
void BM_SeenListLinearScan(benchmark::State& state) {
  std::deque<std::string> entries;
  for (std::size_t i = 0; i < kSeenIdentifiers; ++i) entries.push_back(Identifier(i));
  std::vector<std::string> probes;
  for (std::size_t i = 0; i < 1000; ++i) {
    probes.push_back(i % 2 == 0 ? Identifier(i * 97 % kSeenIdentifiers) : "new-" + Identifier(i));
  }
  std::size_t i = 0;
  for (auto _ : state) {
    const std::string& probe = probes[i++ % probes.size()];
    benchmark::DoNotOptimize(std::find(entries.begin(), entries.end(), probe) != entries.end());
  }
}
BENCHMARK(BM_SeenListLinearScan)->Unit(benchmark::kMicrosecond);

// Loading and writing back a seen file of 100,000 identifiers, as every
// check of such an account does.
void BM_SeenFileLoadAndSave(benchmark::State& state) {
  test::WorkingFolder folder;
  SeenList list;
  for (std::size_t i = 0; i < kSeenIdentifiers; ++i) list.Append(Identifier(i));
  list.SaveToFile("seen.uidl");
  for (auto _ : state) {
    SeenList loaded;
    loaded.LoadFromFile("seen.uidl");
    loaded.SaveToFile("seen.uidl");
    benchmark::DoNotOptimize(loaded.Count());
  }
}
BENCHMARK(BM_SeenFileLoadAndSave)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace corvel

BENCHMARK_MAIN();

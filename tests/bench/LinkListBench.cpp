// Decoding speed of the link list, beside memcpy of the same bytes, and the memory a hostile
// count can make the reader take.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <string>

#include "engine/LinkList.h"
#include "platform/sim/Machine.h"

namespace {

std::atomic<std::size_t> liveBytes{0};
std::atomic<std::size_t> peakBytes{0};

}  // namespace

// Counts what the process allocates, so the peak during one read can be reported.
void* operator new(std::size_t size) {
  void* block = std::malloc(size + 16);
  if (block == nullptr) throw std::bad_alloc();
  *static_cast<std::size_t*>(block) = size;
  const std::size_t now = liveBytes += size;
  std::size_t peak = peakBytes.load();
  while (now > peak && !peakBytes.compare_exchange_weak(peak, now)) {
  }
  return static_cast<char*>(block) + 16;
}

void operator delete(void* pointer) noexcept {
  if (pointer == nullptr) return;
  void* block = static_cast<char*>(pointer) - 16;
  liveBytes -= *static_cast<std::size_t*>(block);
  std::free(block);
}

void operator delete(void* pointer, std::size_t) noexcept {
  operator delete(pointer);
}

namespace {

std::string ListOf(std::size_t records) {
  sim::Machine machine;
  LinkList array;
  array.records.resize(records);
  for (std::size_t i = 0; i < records; ++i) {
    array.records[i].action = LinkAction::Create;
    array.records[i].link = u"X:";
    const std::string digits = std::to_string(i);
    array.records[i].target = u"D:\\Data\\" + std::u16string(digits.begin(), digits.end());
  }
  {
    win::UniqueFile file(win::CreateFileW(u"C:\\list.dat", win::GENERIC_WRITE, 0, nullptr,
                                          win::CREATE_ALWAYS, 0, nullptr));
    LinkArchive archive(file.Get(), LinkArchive::Mode::store);
    array.Serialize(archive);
    archive.Close();
  }
  return machine.FileContent(u"C:\\list.dat").value_or("");
}

void BM_DecodeList(benchmark::State& state) {
  const auto records = static_cast<std::size_t>(state.range(0));
  const std::string bytes = ListOf(records);
  sim::Machine machine;
  machine.PutFile(u"C:\\list.dat", bytes);
  for (auto _ : state) {
    // Freeing the previous list is not decoding; it happens outside the timed part.
    state.PauseTiming();
    auto list = std::make_unique<LoadedLinkList>();
    state.ResumeTiming();
    if (LoadLinkList(u"C:\\list.dat", *list) != LoadOutcome::loaded) state.SkipWithError("load");
    benchmark::DoNotOptimize(list->links.records.data());
    state.PauseTiming();
    list.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * records));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
  state.counters["ns_per_record"] = benchmark::Counter(
      static_cast<double>(records),
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_DecodeList)->Arg(10'000)->Arg(100'000)->Arg(1'000'000)->Unit(benchmark::kMillisecond);

void BM_MemcpySameBytes(benchmark::State& state) {
  const std::string bytes = ListOf(static_cast<std::size_t>(state.range(0)));
  std::string copy(bytes.size(), '\0');
  for (auto _ : state) {
    std::memcpy(copy.data(), bytes.data(), bytes.size());
    benchmark::DoNotOptimize(copy.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(BM_MemcpySameBytes)
    ->Arg(10'000)
    ->Arg(100'000)
    ->Arg(1'000'000)
    ->Unit(benchmark::kMillisecond);

// A file of 36 bytes that claims 0xFFFFFFFF records: the peak is what reading it allocates.
void BM_HostileCountPeakMemory(benchmark::State& state) {
  std::string bytes = "\xFF\xFF\xFF\xFF\xFF\xFF";
  bytes += ListOf(1).substr(2);
  sim::Machine machine;
  machine.PutFile(u"C:\\hostile.dat", bytes);
  std::size_t peak = 0;
  for (auto _ : state) {
    const std::size_t before = liveBytes.load();
    peakBytes = before;
    LoadedLinkList list;
    if (LoadLinkList(u"C:\\hostile.dat", list) != LoadOutcome::malformed) {
      state.SkipWithError("not refused");
    }
    peak = peakBytes.load() - before;
  }
  state.counters["file_bytes"] = static_cast<double>(bytes.size());
  state.counters["peak_bytes"] = static_cast<double>(peak);
}
BENCHMARK(BM_HostileCountPeakMemory);

}  // namespace

// Freed memory stays in the process (no mmap blocks, no trimming), so every size measures the
// decoding itself and not the kernel handing out fresh pages, which with glibc's defaults only
// the large sizes would pay for: their blocks go back to the system after each run.
// CORVANE_BENCH_DEFAULT_MALLOC=1 keeps glibc's defaults.
int main(int argc, char** argv) {
  if (std::getenv("CORVANE_BENCH_DEFAULT_MALLOC") == nullptr) {
    mallopt(M_MMAP_MAX, 0);
    mallopt(M_TRIM_THRESHOLD, std::numeric_limits<int>::max());
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

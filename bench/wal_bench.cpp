// Append and replay costs of the write-ahead log.
//
//   make bench && ./build/bench/wal_bench
//
// Logs are written under /tmp/kavri_wal_bench_<pid> (or $KAVRI_BENCH_DIR) and removed at exit (the
// replay logs, 256 MiB each, stay until then).

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <set>
#include <vector>

#include "config.h"
#include "wal/reader.h"
#include "wal/record.h"
#include "wal/wal.h"

namespace {

using kavri::WalConfig;
using kavri::wal::Wal;

const std::filesystem::path& bench_root() {
  // KAVRI_BENCH_DIR=/dev/shm takes the storage device out of the figures.
  static const std::filesystem::path root =
      std::filesystem::path(std::getenv("KAVRI_BENCH_DIR") ? std::getenv("KAVRI_BENCH_DIR")
                                                           : "/tmp") /
      ("kavri_wal_bench_" + std::to_string(::getpid()));
  return root;
}

std::vector<std::byte> payload_of(size_t len) {
  std::vector<std::byte> p(len);
  for (size_t i = 0; i < len; ++i) p[i] = static_cast<std::byte>(i * 31);
  return p;
}

// Wal::append with the flusher running at its default 5 ms interval (second argument 1), or
// with no flusher and no sync until the end (FsyncPolicy::OnClose, second argument 0): the
// difference is the disk's write-back, which the flusher's syncs every 5 ms wait for.
void BM_WalAppend(benchmark::State& state) {
  const size_t len = static_cast<size_t>(state.range(0));
  const auto topic = bench_root() / ("append_" + std::to_string(len));
  std::filesystem::remove_all(topic);
  WalConfig config;
  if (state.range(1) == 0) config.fsync_policy = kavri::FsyncPolicy::OnClose;
  config.retention_max_bytes = 512 * kavri::kMiB;  // bounds the disk a long run uses
  auto wal = Wal::open(topic, config);
  if (!wal) {
    state.SkipWithError(kavri::wal::message(wal.error()).c_str());
    return;
  }
  const auto payload = payload_of(len);
  uint64_t cursor = (*wal)->pending_cursor();
  for (auto _ : state) {
    if (!(*wal)->append(cursor++, 0, payload)) {
      state.SkipWithError("append failed");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * len));
  wal->reset();
  std::filesystem::remove_all(topic);
}
BENCHMARK(BM_WalAppend)
    ->Args({64, 1})
    ->Args({4096, 1})
    ->Args({65536, 1})
    ->Args({65536, 0})
    ->Repetitions(5)
    ->ReportAggregatesOnly()
    ->UseRealTime();

// The distribution of single 64-byte appends, timed one by one: the median is the common
// path (the record is copied into the writer's buffer), the tail holds the calls that write a
// full buffer out. Counters are in nanoseconds and include one clock read (~20 ns).
void BM_WalAppendLatency64(benchmark::State& state) {
  const auto topic = bench_root() / "latency";
  std::filesystem::remove_all(topic);
  auto wal = Wal::open(topic, WalConfig{});
  if (!wal) {
    state.SkipWithError(kavri::wal::message(wal.error()).c_str());
    return;
  }
  const auto payload = payload_of(64);
  uint64_t cursor = (*wal)->pending_cursor();
  std::vector<uint32_t> samples;
  samples.reserve(1 << 22);
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    (void)(*wal)->append(cursor++, 0, payload);
    const auto t1 = std::chrono::steady_clock::now();
    if (samples.size() < samples.capacity()) {
      samples.push_back(static_cast<uint32_t>(
          std::chrono::duration_cast<std::chrono::nanoseconds>(t1 - t0).count()));
    }
  }
  std::sort(samples.begin(), samples.end());
  auto at = [&](double q) { return samples[static_cast<size_t>(q * (samples.size() - 1))]; };
  if (!samples.empty()) {
    state.counters["p50_ns"] = at(0.5);
    state.counters["p90_ns"] = at(0.9);
    state.counters["p99_ns"] = at(0.99);
    state.counters["p999_ns"] = at(0.999);
  }
  wal->reset();
  std::filesystem::remove_all(topic);
}
BENCHMARK(BM_WalAppendLatency64)->Iterations(2'000'000);

// The floor under an append: encoding's CRC and one copy of the payload.
void BM_Crc32cMemcpy(benchmark::State& state) {
  const size_t len = static_cast<size_t>(state.range(0));
  const auto payload = payload_of(len);
  std::vector<std::byte> dst(len);
  for (auto _ : state) {
    std::memcpy(dst.data(), payload.data(), len);
    benchmark::DoNotOptimize(kavri::wal::crc32c(dst));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * len));
}
BENCHMARK(BM_Crc32cMemcpy)->Arg(64)->Arg(4096)->Arg(65536)->Repetitions(5)->ReportAggregatesOnly();

// Replay of a 256 MiB log (warm page cache) through WalReader and WalReplayer.
void BM_Replay(benchmark::State& state) {
  const size_t len = static_cast<size_t>(state.range(0));
  const auto topic = bench_root() / ("replay_" + std::to_string(len));
  constexpr uint64_t kLogBytes = 256 * kavri::kMiB;
  const uint64_t records = kLogBytes / (len + kavri::wal::RECORD_OVERHEAD);
  // Built once per payload size; gbench calls this function several times.
  static std::set<size_t> built;
  if (built.insert(len).second) {
    std::filesystem::remove_all(topic);
    WalConfig config;
    config.fsync_policy = kavri::FsyncPolicy::OnClose;
    auto wal = Wal::open(topic, config);
    if (!wal) {
      state.SkipWithError(kavri::wal::message(wal.error()).c_str());
      return;
    }
    const auto payload = payload_of(len);
    for (uint64_t c = 0; c < records; ++c) (void)(*wal)->append(c, c, payload);
  }
  uint64_t bytes = 0;
  for (auto _ : state) {
    auto replay = kavri::wal::WalReplayer::from(topic, 0);
    uint64_t n = 0;
    for (;;) {
      auto item = replay->next();
      if (!item || !*item) break;
      bytes += (*item)->payload.size() + kavri::wal::RECORD_OVERHEAD;
      ++n;
    }
    if (n != records) state.SkipWithError("replay came up short");
  }
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
}
BENCHMARK(BM_Replay)->Arg(64)->Arg(4096)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::filesystem::remove_all(bench_root());
  return 0;
}

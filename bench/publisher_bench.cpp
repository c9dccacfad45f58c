// What a publish costs: a whole `publish` of 64 bytes with the log off and on and with 0, 1
// or 16 connected subscribers that are busy (claimed, connected, never armed); the ring and
// log work alone; and `publish_many` per message.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "handshake.h"
#include "platform/directory.h"
#include "platform/socket.h"
#include "publisher.h"
#include "ring.h"
#include "wal/wal.h"

namespace kavri {
namespace {

constexpr size_t kPayload = 64;

struct BenchDir {
  BenchDir() : path("/tmp/kavri_publisher_bench_" + std::to_string(getpid())) {
    (void)platform::remove_tree(path);
    if (!platform::create_dir_all(path)) std::abort();
  }
  ~BenchDir() { (void)platform::remove_tree(path); }
  std::filesystem::path path;
};

BusConfig bench_config(const BenchDir& dir, bool wal) {
  BusConfig c;
  c.base_dir = dir.path;
  c.slot_size = 256;
  c.capacity = 1024;
  c.max_subscribers = 16;
  c.wal.enabled = wal;
  // Keeps the disk use of long runs bounded; rotation and retention stay on the path.
  c.wal.segment_max_bytes = 16 * kMiB;
  c.wal.retention_max_bytes = 128 * kMiB;
  return c;
}

// Connected subscribers that keep up: entries far ahead of tail (lag 0, so the backpressure
// scan runs but never refuses), flags never armed.
struct BusySubscribers {
  BusySubscribers(Publisher& p, const std::filesystem::path& topic_dir, int n) {
    for (int i = 0; i < n; ++i) {
      const uint32_t idx = static_cast<uint32_t>(i);
      p.ring().cursor_entry(idx).store(uint64_t{1} << 62, std::memory_order_release);
      auto fd = platform::connect_unix(topic_dir / "signal.sock");
      if (!fd || !send_announcement(fd->get(), idx)) std::abort();
      announce_connection(p.ring());
      streams.push_back(std::move(*fd));
    }
    if (!p.wait_for_subscribers(n, Duration::from_millis(5000))) std::abort();
  }
  std::vector<Fd> streams;
};

void BM_Publish(benchmark::State& state) {
  const bool wal = state.range(0) != 0;
  const int subscribers = static_cast<int>(state.range(1));
  BenchDir dir;
  auto p = Publisher::create("t", bench_config(dir, wal));
  if (!p) std::abort();
  BusySubscribers subs(**p, dir.path / "t", subscribers);
  std::array<std::byte, kPayload> payload{};
  for (auto _ : state) {
    if (!(*p)->publish(payload)) std::abort();
  }
  if ((*p)->stats().wakeups_sent_total != 0) std::abort();
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Publish)->ArgNames({"log", "subs"})->ArgsProduct({{0, 1}, {0, 1, 16}})->MinTime(1.0);

// The ring and log work of one publish without the accept step, the backpressure scan and
// the pass: the record timestamp, the log append into its buffer, the slot write.
void BM_RingAndLog(benchmark::State& state) {
  const bool wal = state.range(0) != 0;
  BenchDir dir;
  const BusConfig config = bench_config(dir, true);
  auto ring = RingBuffer::create_or_reuse(dir.path / "ring.mmap", config.capacity, config.slot_size,
                                          config.max_subscribers);
  if (!ring) std::abort();
  std::unique_ptr<wal::Wal> log;
  if (wal) {
    auto opened = wal::Wal::open(dir.path, config.wal);
    if (!opened) std::abort();
    log = std::move(*opened);
  }
  std::array<std::byte, kPayload> payload{};
  for (auto _ : state) {
    if (log) {
      const uint64_t cursor = ring->tail().load(std::memory_order_relaxed);
      if (!log->append(cursor, log->now_ns(), payload)) std::abort();
    }
    ring->write_slot(payload);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RingAndLog)->ArgName("log")->Arg(0)->Arg(1)->MinTime(1.0);

void BM_PublishMany(benchmark::State& state) {
  const bool wal = state.range(0) != 0;
  const size_t batch_len = static_cast<size_t>(state.range(1));
  BenchDir dir;
  auto p = Publisher::create("t", bench_config(dir, wal));
  if (!p) std::abort();
  std::array<std::byte, kPayload> payload{};
  const std::vector<std::span<const std::byte>> batch(batch_len, payload);
  for (auto _ : state) {
    auto n = (*p)->publish_many(batch);
    if (!n || *n != batch_len) std::abort();
  }
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(batch_len));
}
BENCHMARK(BM_PublishMany)
    ->ArgNames({"log", "batch"})
    ->ArgsProduct({{0, 1}, {64, 1024}})
    ->MinTime(1.0);

}  // namespace
}  // namespace kavri

BENCHMARK_MAIN();

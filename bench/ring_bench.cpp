// write_slot followed by try_receive of one message, beside plain memcpys of the same size: the
// ring's cost over the two copies it cannot avoid (into the slot, out of it).

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/directory.h"
#include "ring.h"

namespace kavri {
namespace {

constexpr uint32_t kSlotSize = 65536;

// Arguments: payload size, ring capacity. With the default 256 slots of 64 KiB a lap spans
// 16 MiB, beyond the caches, so each message lands in cold memory; 2 slots stay in cache and
// compare like for like with the memcpy references below.
void BM_RingWriteThenReceive(benchmark::State& state) {
  const size_t size = static_cast<size_t>(state.range(0));
  const auto capacity = static_cast<uint32_t>(state.range(1));
  std::string dir = "/tmp/kavri_ring_bench_" + std::to_string(::getpid());
  (void)platform::create_dir_all(dir);
  auto ring = RingBuffer::create_or_reuse(dir + "/ring.mmap", capacity, kSlotSize, 1);
  if (!ring) {
    state.SkipWithError(ring.error().text().c_str());
    return;
  }
  std::vector<std::byte> payload(size, std::byte{0x5A});
  std::vector<std::byte> out;
  out.reserve(size);
  uint64_t cursor = 0;
  for (auto _ : state) {
    ring->write_slot(payload);
    auto next = ring->try_receive(0, cursor, out);
    if (!next) {
      state.SkipWithError("message not received");
      break;
    }
    cursor = *next;
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
  (void)platform::remove_tree(dir);
}

// The reference: one copy of the payload, and the two copies a write and a read make, each
// between distinct buffers as the ring's are.
void BM_Memcpy(benchmark::State& state) {
  const size_t size = static_cast<size_t>(state.range(0));
  std::vector<std::byte> src(size, std::byte{0x5A}), dst(size);
  for (auto _ : state) {
    std::memcpy(dst.data(), src.data(), size);
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

void BM_TwoMemcpys(benchmark::State& state) {
  const size_t size = static_cast<size_t>(state.range(0));
  std::vector<std::byte> src(size, std::byte{0x5A}), mid(size), dst(size);
  for (auto _ : state) {
    std::memcpy(mid.data(), src.data(), size);
    benchmark::ClobberMemory();
    std::memcpy(dst.data(), mid.data(), size);
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}

BENCHMARK(BM_RingWriteThenReceive)->ArgsProduct({{64, 4096, 65536}, {256, 2}});
BENCHMARK(BM_Memcpy)->Arg(64)->Arg(4096)->Arg(65536);
BENCHMARK(BM_TwoMemcpys)->Arg(64)->Arg(4096)->Arg(65536);

}  // namespace
}  // namespace kavri

BENCHMARK_MAIN();

// The cost of an event site before installation, of an event the filter rejects after it,
// and of formatting one line. Nothing is written to standard error.

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>

#include "logging.h"
#include "logging_format.h"

namespace kavri::logging {
namespace {

void emit_publisher_created() {
  event(Level::Info, "kavri::publisher", "publisher created", text("topic", "orders"),
        u64("ring_capacity", 256), u64("slot_size", 65536), boolean("wal_enabled", true),
        display("backpressure", "Error"));
}

// Must run first: it measures the gate while no logger is installed.
void BM_EventBeforeInstallation(benchmark::State& state) {
  for (auto _ : state) emit_publisher_created();
}
BENCHMARK(BM_EventBeforeInstallation);

// The gate lets INFO through (kavri::wal is at debug); the filter rejects the target.
void BM_EventRejectedByFilter(benchmark::State& state) {
  ::unsetenv("RUST_LOG");
  init_logging("kavri=warn,kavri::wal=debug");
  for (auto _ : state) emit_publisher_created();
}
BENCHMARK(BM_EventRejectedByFilter);

void BM_FormatLine(benchmark::State& state) {
  const Field fields[] = {text("topic", "orders"), u64("ring_capacity", 256),
                          u64("slot_size", 65536), boolean("wal_enabled", true),
                          display("backpressure", "Error")};
  std::string line;
  for (auto _ : state) {
    line.clear();
    format_line(line, 1738324800123456789ull, Level::Info, "kavri::publisher", "publisher created",
                fields);
    benchmark::DoNotOptimize(line.data());
  }
}
BENCHMARK(BM_FormatLine);

}  // namespace
}  // namespace kavri::logging

BENCHMARK_MAIN();

// The cost of the publisher's accept step when nobody is connecting: the zero-time-out
// pending-connection check against a non-blocking accept that finds nothing, with a trivial
// system call as the floor.

#include <benchmark/benchmark.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/directory.h"
#include "platform/socket.h"

namespace kavri::platform {
namespace {

struct Listener {
  Listener() {
    dir = "/tmp/kavri_socket_bench_" + std::to_string(getpid());
    if (!create_dir_all(dir)) std::abort();
    auto l = listen_unix(dir + "/signal.sock");
    if (!l) std::abort();
    fd = std::move(*l);
  }
  ~Listener() {
    fd = Fd();
    (void)remove_tree(dir);
  }
  std::string dir;
  Fd fd;
};

void BM_HasPendingConnection(benchmark::State& state) {
  Listener l;
  for (auto _ : state) {
    auto r = has_pending_connection(l.fd.get());
    if (!r || *r) std::abort();
    benchmark::DoNotOptimize(r);
  }
}
BENCHMARK(BM_HasPendingConnection);

void BM_AcceptFindingNothing(benchmark::State& state) {
  Listener l;
  for (auto _ : state) {
    auto r = accept_connection(l.fd.get());
    if (r || r.error().kind() != IoErrorKind::WouldBlock) std::abort();
    benchmark::DoNotOptimize(r);
  }
}
BENCHMARK(BM_AcceptFindingNothing);

// getppid through syscall(): glibc caches nothing for it, so every call enters the kernel.
void BM_TrivialSyscall(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(::syscall(SYS_getppid));
}
BENCHMARK(BM_TrivialSyscall);

}  // namespace
}  // namespace kavri::platform

BENCHMARK_MAIN();

// Publisher -> blocking subscriber across processes: one-way latency at a steady rate beside a
// bare Unix-socket byte ping-pong (the floor of a design that wakes sleepers through a socket),
// and fan-out throughput to 1 and 16 subscriber processes.
//
// A standalone program (percentiles across processes do not fit a benchmark loop); built by
// the `benchmarks` target. Usage: subscriber_bench [messages]   (default 100000)

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/cpu.h"
#include "platform/socket.h"
#include "publisher.h"
#include "subscriber.h"

namespace {

using namespace kavri;

uint64_t now_ns() {
  const Instant t = Instant::now();
  return static_cast<uint64_t>(t.secs) * 1'000'000'000 + t.nanos;
}

std::filesystem::path g_dir;

BusConfig config_for(uint32_t slot_size, uint32_t capacity, uint32_t subscribers) {
  BusConfig c;
  c.base_dir = g_dir;
  c.slot_size = slot_size;
  c.capacity = capacity;
  c.max_subscribers = subscribers;
  c.wal.enabled = false;  // the transport alone
  return c;
}

void die(const char* what) {
  std::fprintf(stderr, "subscriber_bench: %s\n", what);
  std::_Exit(1);
}

double pct(std::vector<uint64_t>& v, double p) {
  std::sort(v.begin(), v.end());
  return static_cast<double>(v[std::min(v.size() - 1, static_cast<size_t>(p * v.size()))]);
}

template <class F>
pid_t spawn(F body) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::alarm(120);
    body();
    std::_Exit(0);
  }
  return pid;
}

void reap(pid_t pid) {
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) die("a child failed");
}

// Round trips of one byte over a Unix stream socket between two processes, in ns.
std::vector<uint64_t> ping_pong(uint64_t rounds) {
  const std::filesystem::path path = g_dir / "pingpong.sock";
  auto listener = platform::listen_unix(path);
  if (!listener) die("listen");
  const pid_t child = spawn([&] {
    auto fd = platform::connect_unix(path);
    if (!fd) die("connect");
    std::byte b{1};
    for (uint64_t i = 0; i < rounds; ++i) {
      if (!platform::recv_exact(fd->get(), {&b, 1})) die("echo recv");
      if (!platform::send_all(fd->get(), {&b, 1})) die("echo send");
    }
  });
  IoResult<Fd> conn = std::unexpected(IoError::from_errno(EAGAIN));
  while (!(conn = platform::accept_connection(listener->get()))) std::this_thread::yield();
  std::vector<uint64_t> rtt;
  rtt.reserve(rounds);
  std::byte b{1};
  for (uint64_t i = 0; i < rounds; ++i) {
    const uint64_t t0 = now_ns();
    if (!platform::send_all(conn->get(), {&b, 1})) die("send");
    if (!platform::recv_exact(conn->get(), {&b, 1})) die("recv");
    rtt.push_back(now_ns() - t0);
  }
  reap(child);
  return rtt;
}

// One-way latency of `count` 64-byte messages published every `interval_ns`, received by a
// blocking subscriber in another process.
std::vector<uint64_t> latency(uint64_t count, uint64_t interval_ns) {
  const BusConfig config = config_for(64, 1024, 1);
  const pid_t pub_pid = spawn([&] {
    auto pub = Publisher::create("lat", config);
    if (!pub) die("publisher");
    if (!(*pub)->wait_for_subscribers(1, Duration::from_millis(10'000))) die("no subscriber");
    std::byte payload[64] = {};
    uint64_t next = now_ns() + 10'000'000;
    for (uint64_t i = 0; i < count; ++i) {
      while (now_ns() < next) platform::spin_hint();
      const uint64_t t = now_ns();
      std::memcpy(payload, &t, sizeof t);
      while (!(*pub)->publish(payload)) std::this_thread::yield();
      next += interval_ns;
    }
    platform::sleep_for(Duration::from_millis(200));  // let the reader finish first
  });
  auto sub =
      Subscriber::connect_with("lat", config, Duration::from_millis(10'000), start_at::Cursor{0});
  if (!sub) die("subscriber");
  std::vector<uint64_t> lat;
  lat.reserve(count);
  std::vector<std::byte> buf;
  for (uint64_t i = 0; i < count; ++i) {
    if (!(*sub)->receive_into(buf)) die("receive");
    const uint64_t t = now_ns();
    uint64_t sent;
    std::memcpy(&sent, buf.data(), sizeof sent);
    lat.push_back(t - sent);
  }
  reap(pub_pid);
  return lat;
}

// Deliveries per second in total: `subscribers` processes each receive `count` messages of
// `size` bytes from one publisher (batches of 64 through publish_many).
double throughput(uint32_t subscribers, size_t size, uint64_t count) {
  const uint32_t capacity = size <= 64 ? 4096 : 256;
  const BusConfig config =
      config_for(static_cast<uint32_t>(std::max<size_t>(size, 64)), capacity, subscribers);
  const std::string topic = "tp" + std::to_string(subscribers) + "_" + std::to_string(size);
  const std::filesystem::path results = g_dir / (topic + ".txt");
  std::filesystem::remove(results);
  const pid_t pub_pid = spawn([&] {
    auto pub = Publisher::create(topic, config);
    if (!pub) die("publisher");
    if (!(*pub)->wait_for_subscribers(subscribers, Duration::from_millis(20'000))) die("subs");
    std::vector<std::byte> payload(size);
    std::vector<std::span<const std::byte>> batch(64, std::span<const std::byte>(payload));
    uint64_t sent = 0;
    const uint64_t t0 = now_ns();
    std::memcpy(payload.data(), &t0, sizeof t0);  // every message carries the start time
    while (sent < count) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(64, count - sent));
      auto r = (*pub)->publish_many(std::span(batch).first(n));
      if (!r) die("publish_many");
      sent += *r;
      if (*r == 0) platform::spin_hint();
    }
    platform::sleep_for(Duration::from_millis(500));
  });
  std::vector<pid_t> subs;
  for (uint32_t i = 0; i < subscribers; ++i) {
    subs.push_back(spawn([&] {
      auto sub = Subscriber::connect_with(topic, config, Duration::from_millis(20'000),
                                          start_at::Cursor{0});
      if (!sub) die("subscriber");
      std::vector<std::byte> buf;
      uint64_t start = 0;
      for (uint64_t k = 0; k < count; ++k) {
        if (!(*sub)->receive_into(buf)) die("receive");
        if (k == 0) std::memcpy(&start, buf.data(), sizeof start);
      }
      const uint64_t end = now_ns();
      std::ofstream(results, std::ios::app) << start << ' ' << end << '\n';
    }));
  }
  for (pid_t p : subs) reap(p);
  reap(pub_pid);
  std::ifstream in(results);
  uint64_t start = UINT64_MAX, end = 0, s, e;
  while (in >> s >> e) {
    start = std::min(start, s);
    end = std::max(end, e);
  }
  return static_cast<double>(subscribers) * static_cast<double>(count) /
         (static_cast<double>(end - start) / 1e9);
}

}  // namespace

int main(int argc, char** argv) {
  const uint64_t messages = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 100'000;
  g_dir = std::filesystem::temp_directory_path() / ("kavri_subbench_" + std::to_string(getpid()));
  std::filesystem::remove_all(g_dir);
  std::filesystem::create_directories(g_dir);

  std::vector<uint64_t> rtt = ping_pong(messages);
  std::printf("bare Unix-socket ping-pong round trip: p50 %.1f us  p99 %.1f us  (%lu rounds)\n",
              pct(rtt, 0.5) / 1e3, pct(rtt, 0.99) / 1e3, static_cast<unsigned long>(messages));
  const double half_rtt = pct(rtt, 0.5) / 2;

  std::vector<uint64_t> lat = latency(messages, 20'000);
  std::printf(
      "one-way latency, 64 B every 20 us, blocking subscriber: p50 %.1f us  p99 %.1f us  "
      "p99.9 %.1f us  (p50 / half ping-pong = %.2f)\n",
      pct(lat, 0.5) / 1e3, pct(lat, 0.99) / 1e3, pct(lat, 0.999) / 1e3, pct(lat, 0.5) / half_rtt);

  for (uint32_t n : {1u, 16u}) {
    for (size_t size : {size_t{64}, size_t{65536}}) {
      const uint64_t count = size == 64 ? 1'000'000 : 20'000;
      const double rate = throughput(n, size, count);
      std::printf("throughput 1 -> %2u, %5zu B: %.2f M deliveries/s (%.2f GB/s)\n", n, size,
                  rate / 1e6, rate * static_cast<double>(size) / 1e9);
    }
  }
  std::filesystem::remove_all(g_dir);
  return 0;
}

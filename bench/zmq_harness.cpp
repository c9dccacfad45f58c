// The ZeroMQ peer of bench/compare.py: both ends in C++, over ipc://, one process per end.
//
//   zmq_harness throughput <endpoint> <bytes> <messages> <receivers>
//   zmq_harness latency <endpoint> <bytes> <messages> <rate_per_sec>
//
// throughput: one sender and <receivers> receiver processes. One receiver is PUSH/PULL; more
// are XPUB/SUB with ZMQ_XPUB_NODROP, so that a full queue holds the sender back instead of
// dropping (every message reaches every receiver, as on the other peers). The sender starts
// once every receiver's subscription has arrived. Prints one JSON object: deliveries and the
// seconds from the first send to the last receive of any receiver (CLOCK_MONOTONIC, shared by
// the processes).
//
// latency: PUSH/PULL, one message every 1/<rate> s (absolute sleeps), the send time in its
// first 8 bytes; the receiver is blocked in zmq_recv. Prints p50, p99, p99.9 of the one-way
// latency in microseconds.
//
// Every wait is bounded: the processes end themselves with alarm() after 120 s.

#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <zmq.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

uint64_t now_ns() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return uint64_t(ts.tv_sec) * 1000000000u + uint64_t(ts.tv_nsec);
}

[[noreturn]] void die(const char* what) {
  std::fprintf(stderr, "zmq_harness: %s: %s\n", what, zmq_strerror(zmq_errno()));
  std::exit(2);
}

void check(int rc, const char* what) {
  if (rc == -1) die(what);
}

void set_int(void* socket, int option, int value, const char* what) {
  check(zmq_setsockopt(socket, option, &value, sizeof value), what);
}

// Retries a send or receive that a signal interrupted.
int send_all(void* socket, const void* data, size_t len) {
  for (;;) {
    const int rc = zmq_send(socket, data, len, 0);
    if (rc != -1 || zmq_errno() != EINTR) return rc;
  }
}

int recv_one(void* socket, void* buf, size_t len) {
  for (;;) {
    const int rc = zmq_recv(socket, buf, len, 0);
    if (rc != -1 || zmq_errno() != EINTR) return rc;
  }
}

struct ReceiverResult {
  uint64_t received;
  uint64_t last_ns;
};

// A receiver process: connects, counts `messages` messages, reports through `out`.
void receive(const std::string& endpoint, size_t bytes, uint64_t messages, bool fan_out, int out) {
  alarm(120);
  void* ctx = zmq_ctx_new();
  void* s = zmq_socket(ctx, fan_out ? ZMQ_SUB : ZMQ_PULL);
  if (s == nullptr) die("zmq_socket");
  set_int(s, ZMQ_RCVHWM, 1000, "ZMQ_RCVHWM");
  if (fan_out) check(zmq_setsockopt(s, ZMQ_SUBSCRIBE, "", 0), "ZMQ_SUBSCRIBE");
  check(zmq_connect(s, endpoint.c_str()), "zmq_connect");
  const unsigned char ready = 1;
  if (write(out, &ready, 1) != 1) std::exit(2);
  std::vector<unsigned char> buf(bytes + 1);
  ReceiverResult r{0, 0};
  while (r.received < messages) {
    const int n = recv_one(s, buf.data(), buf.size());
    if (n == -1) die("zmq_recv");
    if (size_t(n) != bytes) {
      std::fprintf(stderr, "zmq_harness: got %d bytes, expected %zu\n", n, bytes);
      std::exit(2);
    }
    ++r.received;
  }
  r.last_ns = now_ns();
  if (write(out, &r, sizeof r) != sizeof r) std::exit(2);
  zmq_close(s);
  zmq_ctx_term(ctx);
  std::exit(0);
}

int throughput(const std::string& endpoint, size_t bytes, uint64_t messages, int receivers) {
  const bool fan_out = receivers > 1;
  void* ctx = zmq_ctx_new();
  void* s = zmq_socket(ctx, fan_out ? ZMQ_XPUB : ZMQ_PUSH);
  if (s == nullptr) die("zmq_socket");
  set_int(s, ZMQ_SNDHWM, 1000, "ZMQ_SNDHWM");
  if (fan_out) {
    set_int(s, ZMQ_XPUB_NODROP, 1, "ZMQ_XPUB_NODROP");
    set_int(s, ZMQ_XPUB_VERBOSE, 1, "ZMQ_XPUB_VERBOSE");
  }
  check(zmq_bind(s, endpoint.c_str()), "zmq_bind");

  std::vector<int> pipes;
  std::vector<pid_t> children;
  for (int i = 0; i < receivers; ++i) {
    int fds[2];
    if (pipe(fds) != 0) return 2;
    const pid_t pid = fork();
    if (pid == 0) {
      close(fds[0]);
      receive(endpoint, bytes, messages, fan_out, fds[1]);
    }
    close(fds[1]);
    pipes.push_back(fds[0]);
    children.push_back(pid);
  }

  for (int fd : pipes) {
    unsigned char ready = 0;
    if (read(fd, &ready, 1) != 1) return 2;
  }
  if (fan_out) {
    // A SUB socket's subscription reaches the publisher after its connect returns; messages
    // sent before it would not reach that receiver. Verbose mode passes each one through.
    unsigned char sub[64];
    for (int i = 0; i < receivers; ++i) {
      if (recv_one(s, sub, sizeof sub) == -1) die("zmq_recv subscription");
    }
  }

  std::vector<unsigned char> payload(bytes, 0x5a);
  const uint64_t start = now_ns();
  for (uint64_t i = 0; i < messages; ++i) {
    if (send_all(s, payload.data(), payload.size()) == -1) die("zmq_send");
  }
  uint64_t last = 0, deliveries = 0;
  for (int i = 0; i < receivers; ++i) {
    ReceiverResult r;
    if (read(pipes[i], &r, sizeof r) != sizeof r) return 2;
    last = std::max(last, r.last_ns);
    deliveries += r.received;
    int status = 0;
    waitpid(children[i], &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return 2;
  }
  std::printf("{\"deliveries\": %llu, \"secs\": %.6f}\n", (unsigned long long)deliveries,
              double(last - start) / 1e9);
  zmq_close(s);
  zmq_ctx_term(ctx);
  return 0;
}

int latency(const std::string& endpoint, size_t bytes, uint64_t messages, double rate) {
  bytes = std::max<size_t>(bytes, 8);
  int fds[2];
  if (pipe(fds) != 0) return 2;
  const pid_t pid = fork();
  if (pid == 0) {
    alarm(120);
    close(fds[0]);
    void* ctx = zmq_ctx_new();
    void* s = zmq_socket(ctx, ZMQ_PULL);
    check(zmq_bind(s, endpoint.c_str()), "zmq_bind");
    std::vector<unsigned char> buf(bytes);
    std::vector<uint64_t> lat;
    lat.reserve(messages);
    unsigned char ready = 1;
    if (write(fds[1], &ready, 1) != 1) std::exit(2);
    while (lat.size() < messages) {
      if (recv_one(s, buf.data(), buf.size()) == -1) die("zmq_recv");
      const uint64_t t = now_ns();
      uint64_t sent;
      std::memcpy(&sent, buf.data(), sizeof sent);
      lat.push_back(t - sent);
    }
    std::sort(lat.begin(), lat.end());
    auto pct = [&](double p) {
      const size_t rank = size_t(std::max(1.0, std::ceil(p / 100.0 * double(lat.size()))));
      return double(lat[rank - 1]) / 1000.0;
    };
    std::printf("{\"p50\": %.2f, \"p99\": %.2f, \"p999\": %.2f, \"samples\": %zu}\n", pct(50),
                pct(99), pct(99.9), lat.size());
    std::fflush(stdout);
    zmq_close(s);
    zmq_ctx_term(ctx);
    std::exit(0);
  }
  close(fds[1]);
  unsigned char ready = 0;
  if (read(fds[0], &ready, 1) != 1) return 2;
  void* ctx = zmq_ctx_new();
  void* s = zmq_socket(ctx, ZMQ_PUSH);
  check(zmq_connect(s, endpoint.c_str()), "zmq_connect");
  std::vector<unsigned char> payload(bytes, 0x5a);
  // A few unmeasured messages would distort nothing here: the receiver counts all of them,
  // and the first one pays for the connection like the first message of every other peer.
  const uint64_t interval = uint64_t(1e9 / rate);
  uint64_t next = now_ns();
  for (uint64_t i = 0; i < messages; ++i) {
    next += interval;
    timespec ts{time_t(next / 1000000000u), long(next % 1000000000u)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
    const uint64_t t = now_ns();
    std::memcpy(payload.data(), &t, sizeof t);
    if (send_all(s, payload.data(), payload.size()) == -1) die("zmq_send");
  }
  int status = 0;
  waitpid(pid, &status, 0);
  zmq_close(s);
  zmq_ctx_term(ctx);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) {
    std::fprintf(stderr,
                 "usage: zmq_harness throughput|latency <endpoint> <bytes> <messages> "
                 "<receivers|rate>\n");
    return 2;
  }
  alarm(150);
  const std::string mode = argv[1], endpoint = argv[2];
  const size_t bytes = std::strtoull(argv[3], nullptr, 10);
  const uint64_t messages = std::strtoull(argv[4], nullptr, 10);
  if (mode == "throughput") return throughput(endpoint, bytes, messages, std::atoi(argv[5]));
  if (mode == "latency") return latency(endpoint, bytes, messages, std::strtod(argv[5], nullptr));
  std::fprintf(stderr, "zmq_harness: unknown mode %s\n", argv[1]);
  return 2;
}

#include "config.h"

#include <gtest/gtest.h>

namespace kavri {
namespace {

TEST(ConfigTest, DefaultsMatchTheDocumentedFigures) {
  BusConfig config;
  EXPECT_EQ(config.base_dir, "/tmp/kavri");
  EXPECT_EQ(config.slot_size, 65536u);
  EXPECT_EQ(config.capacity, 256u);
  EXPECT_EQ(config.max_subscribers, 16u);
  EXPECT_EQ(config.backpressure, Backpressure::Error);
  EXPECT_EQ(config.wal.flush_interval, Duration::from_millis(5));
  EXPECT_EQ(config.wal.segment_max_bytes, 67108864u);
  EXPECT_EQ(config.wal.retention_max_bytes, 1073741824u);
  EXPECT_TRUE(config.wal.enabled);
  EXPECT_EQ(config.wal.fsync_policy, FsyncPolicy::Interval);
}

TEST(ConfigTest, BackpressureTextIsExactAndCaseSensitive) {
  struct Case {
    const char* text;
    std::optional<Backpressure> want;
  } cases[] = {
      {"error", Backpressure::Error}, {"drop_oldest", Backpressure::DropOldest},
      {"Error", std::nullopt},        {"ERROR", std::nullopt},
      {" error", std::nullopt},       {"DropOldest", std::nullopt},
      {"drop-oldest", std::nullopt},  {"", std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(parse_backpressure(c.text), c.want) << c.text;
}

TEST(ConfigTest, DiagnosticNames) {
  EXPECT_EQ(diagnostic_name(Backpressure::Error), "Error");
  EXPECT_EQ(diagnostic_name(Backpressure::DropOldest), "DropOldest");
}

}  // namespace
}  // namespace kavri

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <limits>

#include "platform/clock.h"
#include "platform/directory.h"
#include "platform/file.h"
#include "platform/io_error.h"

namespace kavri {
namespace {

TEST(IoErrorTest, OsErrorTextCarriesDescriptionAndNumber) {
  IoError e = IoError::from_errno(EACCES);
  EXPECT_EQ(e.kind(), IoErrorKind::PermissionDenied);
  EXPECT_EQ(e.os_error(), EACCES);
  EXPECT_EQ(e.text(), "Permission denied (os error 13)");
}

TEST(IoErrorTest, FixedMessageIsTheWholeText) {
  IoError e = IoError::fixed(IoErrorKind::UnexpectedEof, "publisher closed");
  EXPECT_EQ(e.kind(), IoErrorKind::UnexpectedEof);
  EXPECT_EQ(e.os_error(), 0);
  EXPECT_EQ(e.text(), "publisher closed");
}

TEST(IoErrorTest, FormattedMessageOutlivesItsSourceAndComparesByText) {
  std::string text = "kavri: value 42";
  IoError e = IoError::formatted(IoErrorKind::InvalidData, text);
  text.clear();
  IoError copy = e;
  EXPECT_EQ(copy.text(), "kavri: value 42");
  EXPECT_EQ(copy, IoError::formatted(IoErrorKind::InvalidData, "kavri: value 42"));
  EXPECT_NE(copy, IoError::formatted(IoErrorKind::InvalidData, "kavri: value 43"));
  EXPECT_NE(copy, IoError::from_errno(EINVAL));
}

TEST(FileTest, PathWithNulIsRefusedAsInvalidInput) {
  std::string p("/tmp/a");
  p.push_back('\0');
  p += "b";
  auto fd = platform::open_file(p, {.mode = platform::OpenMode::ReadOnly});
  ASSERT_FALSE(fd);
  EXPECT_EQ(fd.error().kind(), IoErrorKind::InvalidInput);
  EXPECT_EQ(fd.error().text(), "file name contained an unexpected NUL byte");
}

TEST(FileTest, MissingFileIsNotFound) {
  auto fd = platform::open_file("/nonexistent/kavri/file", {.mode = platform::OpenMode::ReadOnly});
  ASSERT_FALSE(fd);
  EXPECT_EQ(fd.error().kind(), IoErrorKind::NotFound);
}

TEST(ClockTest, InstantAdditionOverflowIsDetected) {
  Instant now = Instant::now();
  EXPECT_TRUE(now.checked_add(Duration{1000, 999'999'999}));
  EXPECT_FALSE(now.checked_add(Duration{std::numeric_limits<uint64_t>::max(), 0}));
  EXPECT_FALSE(now.checked_add(
      Duration{static_cast<uint64_t>(std::numeric_limits<int64_t>::max()), 999'999'999}));
}

TEST(ClockTest, DurationSinceSaturatesAtZero) {
  Instant a = Instant::now();
  Instant b = *a.checked_add(Duration{1, 500});
  EXPECT_EQ(b.saturating_duration_since(a), (Duration{1, 500}));
  EXPECT_TRUE(a.saturating_duration_since(b).is_zero());
}

TEST(DirectoryTest, CreateListRemoveTree) {
  std::string base = testing::TempDir() + "kavri_platform_dir_" + std::to_string(getpid());
  ASSERT_TRUE(platform::create_dir_all(base + "/a/b"));
  ASSERT_TRUE(platform::create_dir_all(base + "/a/b"));  // existing is fine
  auto names = platform::list_dir(base + "/a");
  ASSERT_TRUE(names);
  EXPECT_EQ(*names, std::vector<std::string>{"b"});
  ASSERT_TRUE(platform::remove_tree(base));
  EXPECT_FALSE(platform::path_exists(base));
}

}  // namespace
}  // namespace kavri

#include "wal/segment_writer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <cerrno>

#include "platform/directory.h"
#include "platform/file.h"
#include "wal/segment_reader.h"
#include "wal_test_util.h"

namespace kavri::wal {
namespace {

using namespace testing_util;

uint64_t size_of(const std::filesystem::path& p) { return std::filesystem::file_size(p); }

TEST(SegmentWriterTest, CreateLeavesExactlyTheHeaderOnDisk) {
  TempDir dir;
  auto path = dir.path() / segment_file_name(1234);
  auto w = SegmentWriter::create(path, 1234);
  ASSERT_TRUE(w);
  EXPECT_EQ(w->base_cursor(), 1234u);
  EXPECT_EQ(w->next_cursor(), 1234u);
  EXPECT_EQ(w->bytes_written(), 32u);
  Bytes on_disk = read_file(path);
  ASSERT_EQ(on_disk.size(), 32u);
  Bytes want = header_bytes(1234);
  EXPECT_TRUE(std::equal(on_disk.begin(), on_disk.begin() + 24, want.begin()));
  EXPECT_EQ(on_disk[0], std::byte{0x4C});  // "LAWirvak" on disk
  EXPECT_EQ(on_disk[7], std::byte{0x6B});
}

TEST(SegmentWriterTest, CreateOverAnExistingFileFailsAndLeavesIt) {
  TempDir dir;
  for (const Bytes& existing : {Bytes{}, header_bytes(5)}) {
    auto path = dir.path() / segment_file_name(5);
    write_file(path, existing);
    auto w = SegmentWriter::create(path, 5);
    ASSERT_FALSE(w);
    ASSERT_TRUE(std::holds_alternative<WriterIo>(w.error()));
    EXPECT_EQ(std::get<WriterIo>(w.error()).error.kind(), IoErrorKind::AlreadyExists);
    EXPECT_EQ(read_file(path), existing);
  }
}

TEST(SegmentWriterTest, OnlyTheNextCursorIsAccepted) {
  TempDir dir;
  auto w = SegmentWriter::create(dir.path() / "7.seg", 7);
  ASSERT_TRUE(w);
  for (uint64_t tried : {8u, 6u}) {
    auto r = w->append(tried, 0, {});
    ASSERT_FALSE(r);
    const auto& e = std::get<WriterNonMonotonic>(r.error());
    EXPECT_EQ(e.tried, tried);
    EXPECT_EQ(e.pending_cursor, 7u);
    EXPECT_EQ(w->bytes_written(), 32u);
  }
  EXPECT_EQ(message(WriterError(WriterNonMonotonic{8, 7})),
            "cursor must be monotonic: tried to append 8 after pending_cursor was 7");
}

TEST(SegmentWriterTest, FsyncReturnsTheNextCursorAndWritesEverythingOut) {
  TempDir dir;
  auto path = dir.path() / "0.seg";
  auto w = SegmentWriter::create(path, 0);
  ASSERT_TRUE(w);
  EXPECT_EQ(w->fsync(), 0u);
  for (uint64_t c = 0; c < 3; ++c) ASSERT_TRUE(w->append(c, 0, {}));
  EXPECT_EQ(w->bytes_written(), 116u);
  EXPECT_EQ(size_of(path), 32u);  // still buffered
  EXPECT_EQ(w->fsync(), 3u);
  EXPECT_EQ(size_of(path), 116u);
}

TEST(SegmentWriterTest, SmallRecordsWaitInTheBufferLargeOnesReachTheFile) {
  TempDir dir;
  auto path = dir.path() / "0.seg";
  auto w = SegmentWriter::create(path, 0);
  ASSERT_TRUE(w);
  ASSERT_TRUE(w->append(0, 0, payload_for(0, 100)));
  EXPECT_EQ(size_of(path), 32u);
  // The large record first pushes the buffered one out, then goes to the file itself.
  ASSERT_TRUE(w->append(1, 0, payload_for(1, 100000)));
  EXPECT_EQ(size_of(path), 32u + 128 + 100028);
  // A record that no longer fits beside the buffered ones writes them out first.
  ASSERT_TRUE(w->append(2, 0, payload_for(2, 5000)));
  ASSERT_TRUE(w->append(3, 0, payload_for(3, 5000)));
  EXPECT_EQ(size_of(path), 32u + 128 + 100028 + 5028);
}

TEST(SegmentWriterTest, FlushForSyncHandsOutACloseOnExecDuplicate) {
  TempDir dir;
  auto path = dir.path() / "0.seg";
  auto w = SegmentWriter::create(path, 0);
  ASSERT_TRUE(w);
  ASSERT_TRUE(w->append(0, 0, payload_for(0, 10)));
  auto h = w->flush_for_sync();
  ASSERT_TRUE(h);
  EXPECT_EQ(h->next_cursor, 1u);
  EXPECT_GE(h->file.get(), 3);
  EXPECT_TRUE(::fcntl(h->file.get(), F_GETFD) & FD_CLOEXEC);
  EXPECT_EQ(size_of(path), 32u + 38);
  EXPECT_TRUE(platform::full_sync(h->file.get()));
}

TEST(SegmentWriterTest, DestructionWritesTheBufferOut) {
  TempDir dir;
  auto path = dir.path() / "0.seg";
  {
    auto w = SegmentWriter::create(path, 0);
    ASSERT_TRUE(w);
    ASSERT_TRUE(w->append(0, 0, payload_for(0, 10)));
  }
  EXPECT_EQ(size_of(path), 32u + 38);
}

IoResult<void> failing_sync(int) { return std::unexpected(IoError::from_errno(EIO)); }

TEST(SegmentWriterTest, FailedCreationRemovesTheFileItMade) {
  TempDir dir;
  auto path = dir.path() / "9.seg";
  platform::set_full_sync_hook_for_testing(failing_sync);
  auto w = SegmentWriter::create(path, 9);
  platform::set_full_sync_hook_for_testing(nullptr);
  ASSERT_FALSE(w);
  EXPECT_EQ(message(w.error()), "I/O error: Input/output error (os error 5)");
  EXPECT_FALSE(platform::path_exists(path));
  EXPECT_TRUE(SegmentWriter::create(path, 9));
}

// A real short write: the file-size limit stops the large record part-way.
TEST(SegmentWriterTest, FailedWriteLeavesNoPartialRecordBehind) {
  TempDir dir;
  auto path = dir.path() / "0.seg";
  auto w = SegmentWriter::create(path, 0);
  ASSERT_TRUE(w);
  ASSERT_TRUE(w->append(0, 0, payload_for(0, 20000)));
  const uint64_t before = w->bytes_written();

  struct rlimit old;
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
  auto old_handler = ::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = old;
  small.rlim_cur = 40000;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  auto r = w->append(1, 0, payload_for(1, 50000));
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &old), 0);
  ::signal(SIGXFSZ, old_handler);

  ASSERT_FALSE(r);
  EXPECT_EQ(w->next_cursor(), 1u);
  EXPECT_EQ(w->bytes_written(), before);
  EXPECT_EQ(size_of(path), before);
  ASSERT_TRUE(w->append(1, 0, payload_for(1, 30)));
  ASSERT_EQ(w->fsync(), 2u);

  auto reader = SegmentReader::open(path);
  ASSERT_TRUE(reader);
  RecordIter it(*reader);
  std::vector<uint64_t> cursors;
  while (auto rec = it.next()) {
    ASSERT_TRUE(*rec) << message((*rec).error());
    cursors.push_back((*rec)->cursor);
  }
  EXPECT_EQ(cursors, (std::vector<uint64_t>{0, 1}));
}

}  // namespace
}  // namespace kavri::wal

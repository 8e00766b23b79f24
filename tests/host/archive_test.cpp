// Archives: little-endian words, bounds-checked reads, atomic file writes.
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "support.h"

namespace orvanta {
namespace {

TEST(Archive, WordsAreLittleEndianAndReadsAreBoundsChecked) {
  host::MemoryArchive out;
  out.WriteWord(0x84290007);
  out.WriteWord(EndMark);
  out.WriteDouble(0.333333333);
  out.WriteText("abcde");
  const std::vector<uint8_t>& b = out.Bytes();
  ASSERT_EQ(b.size(), 4u + 4 + 8 + 4 + 8);
  EXPECT_EQ(b[0], 0x07);
  EXPECT_EQ(b[3], 0x84);
  EXPECT_EQ(std::string(b.begin() + 4, b.begin() + 8), "EndC");
  host::MemoryArchive in(b);
  EXPECT_EQ(in.ReadWord(), 0x84290007u);
  EXPECT_EQ(in.ReadWord(), EndMark);
  EXPECT_EQ(in.ReadDouble(), 0.333333333);
  EXPECT_EQ(in.ReadText(), "abcde");
  EXPECT_EQ(in.Remaining(), 0u);
  EXPECT_THROW(in.ReadWord(), ArchiveError);
  host::MemoryArchive shortText(std::vector<uint8_t>{0xFF, 0xFF, 0x00, 0x00, 'a'});
  EXPECT_THROW(shortText.ReadText(), ArchiveError);
}

TEST(Archive, FileArchiveReadsBackAndFailsAtTheEnd) {
  auto path = std::filesystem::temp_directory_path() / "orvanta-archive-test.bin";
  {
    host::FileArchive w(path.string(), "w");
    w.WriteWord(42);
    w.Close();
  }
  host::FileArchive r(path.string(), "r");
  EXPECT_EQ(r.ReadWord(), 42u);
  EXPECT_THROW(r.ReadWord(), ArchiveError);
  std::filesystem::remove(path);
  EXPECT_THROW(host::FileArchive("/nonexistent/dir/x", "r"), ArchiveError);
}

TEST(Archive, AtomicWriteLeavesNoPartialFile) {
  auto dir = std::filesystem::temp_directory_path() / "orvanta-atomic-test";
  std::filesystem::create_directories(dir);
  auto path = (dir / "out.bin").string();
  host::WriteFileAtomically(path, {1, 2, 3});
  EXPECT_EQ(std::filesystem::file_size(path), 3u);
  // A target in a missing folder fails with the path named and leaves nothing behind.
  try {
    host::WriteFileAtomically((dir / "missing" / "x.bin").string(), {1});
    ADD_FAILURE() << "no error";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("missing"), std::string::npos);
  }
  size_t files = 0;
  for (auto& e : std::filesystem::directory_iterator(dir)) files += e.is_regular_file();
  EXPECT_EQ(files, 1u);
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace orvanta

namespace orvanta {
namespace {

// A real full disk: a 64 KiB tmpfs (needs root; skipped elsewhere). The old file under the final
// name survives intact and no temporary is left behind.
TEST(Archive, FullDiskKeepsTheOldFileAndLeavesNoTemporary) {
  auto dir = std::filesystem::temp_directory_path() / "orvanta-full-disk";
  std::filesystem::create_directories(dir);
  if (std::system(("mount -t tmpfs -o size=64k tmpfs " + dir.string() + " 2>/dev/null").c_str()) != 0) {
    std::filesystem::remove_all(dir);
    GTEST_SKIP() << "cannot mount a small tmpfs here";
  }
  auto path = (dir / "comp.orvc").string();
  host::WriteFileAtomically(path, std::vector<uint8_t>(1000, 7));
  EXPECT_THROW(host::WriteFileAtomically(path, std::vector<uint8_t>(200000, 9)), std::runtime_error);
  EXPECT_EQ(std::filesystem::file_size(path), 1000u);
  size_t files = 0;
  for (auto& e : std::filesystem::directory_iterator(dir)) files += e.is_regular_file();
  EXPECT_EQ(files, 1u);
  EXPECT_EQ(std::system(("umount " + dir.string()).c_str()), 0);
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace orvanta

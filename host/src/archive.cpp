// Archives over memory and files: 32-bit little-endian words, every read bounds-checked.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <random>

#include "state.h"

namespace orvanta {

CArchive::~CArchive() = default;

uint32_t CArchive::ReadWord() {
  uint8_t b[4];
  Read(b, 4);
  return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
}

void CArchive::WriteWord(uint32_t w) {
  uint8_t b[4] = {uint8_t(w), uint8_t(w >> 8), uint8_t(w >> 16), uint8_t(w >> 24)};
  Write(b, 4);
}

double CArchive::ReadDouble() {
  uint64_t lo = ReadWord();
  uint64_t hi = ReadWord();
  uint64_t bits = lo | hi << 32;
  double d;
  std::memcpy(&d, &bits, sizeof d);
  return d;
}

void CArchive::WriteDouble(double d) {
  uint64_t bits;
  std::memcpy(&bits, &d, sizeof d);
  WriteWord(uint32_t(bits));
  WriteWord(uint32_t(bits >> 32));
}

std::string CArchive::ReadText() {
  uint32_t n = ReadWord();
  if (n > (1u << 20)) throw ArchiveError("a text of " + std::to_string(n) + " bytes is too long");
  std::string s(n, '\0');
  if (n) Read(s.data(), n);
  uint8_t pad[3];
  if (n % 4) Read(pad, 4 - n % 4);
  return s;
}

void CArchive::WriteText(const std::string& s) {
  WriteWord(uint32_t(s.size()));
  if (!s.empty()) Write(s.data(), s.size());
  static const uint8_t zeros[3] = {0, 0, 0};
  if (s.size() % 4) Write(zeros, 4 - s.size() % 4);
}

namespace host {

void MemoryArchive::Read(void* dst, size_t n) {
  if (n > Remaining())
    throw ArchiveError("the data ends early: " + std::to_string(n) + " more bytes were expected at offset " +
                       std::to_string(pos_));
  std::memcpy(dst, bytes_.data() + pos_, n);
  pos_ += n;
}

void MemoryArchive::Write(const void* src, size_t n) {
  auto* p = static_cast<const uint8_t*>(src);
  bytes_.insert(bytes_.end(), p, p + n);
}

FileArchive::FileArchive(const std::string& path, const char* mode) : CArchive(mode[0] == 'r'), path_(path) {
  f_ = std::fopen(path.c_str(), mode[0] == 'r' ? "rb" : "wb");
  if (!f_) throw ArchiveError(path + ": " + std::strerror(errno));
}

FileArchive::~FileArchive() {
  if (f_) std::fclose(f_);
}

void FileArchive::Read(void* dst, size_t n) {
  if (std::fread(dst, 1, n, f_) != n) throw ArchiveError(path_ + ": the file ends early");
}

void FileArchive::Write(const void* src, size_t n) {
  if (std::fwrite(src, 1, n, f_) != n) throw ArchiveError(path_ + ": " + std::strerror(errno));
}

void FileArchive::Close() {
  if (!f_) return;
  int rc = std::fclose(f_);
  f_ = nullptr;
  if (rc != 0) throw ArchiveError(path_ + ": " + std::strerror(errno));
}

int CreateExclusiveFile(const std::string& path, std::string& tempPath, bool executable) {
  const std::filesystem::path p(path);
  const std::string stem = p.stem().string(), ext = p.extension().string();
  static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string word(12, 'a');
    for (char& c : word) c = kLetters[random() % (sizeof kLetters - 1)];
    tempPath = (p.parent_path() / (stem + ".tmp-" + word + ext)).string();
    // The kernel applies the umask to the mode, as for any file created by name.
    const int fd = ::open(tempPath.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                          executable ? 0777 : 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return -1;
}

void WriteFileAtomically(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::string tmp;
  const int fd = CreateExclusiveFile(path, tmp);
  if (fd < 0) throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
  int err = 0;
  for (size_t done = 0; done < bytes.size() && err == 0;) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno != EINTR) err = errno;
    if (n > 0) done += size_t(n);
  }
  if (err == 0 && ::fsync(fd) != 0 && errno != EINVAL) err = errno;
  if (::close(fd) != 0 && err == 0) err = errno;
  if (err == 0 && std::rename(tmp.c_str(), path.c_str()) != 0) err = errno;
  if (err != 0) {
    ::unlink(tmp.c_str());
    throw std::runtime_error("cannot write " + path + ": " + std::strerror(err));
  }
}

}  // namespace host
}  // namespace orvanta

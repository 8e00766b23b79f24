#include "orvanta/io/atomic_file.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "orvanta/host/host.h"
#include "orvanta/io/image_io.h"

namespace orvanta::io {

AtomicFile::AtomicFile(std::string path, Kind kind) : path_(std::move(path)) {
  fd_ = host::CreateExclusiveFile(path_, temp_, kind == Kind::Executable);
  if (fd_ < 0) throw Fail(std::strerror(errno));
  pendingSlot_ = SetPendingFile(temp_);
}

AtomicFile::~AtomicFile() {
  if (!committed_) Discard();
}

Failure AtomicFile::Fail(const std::string& why) const {
  return Failure("cannot write " + path_ + ": " + why);
}

void AtomicFile::Write(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = fd_ < 0 ? -1 : ::write(fd_, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int err = fd_ < 0 ? EBADF : errno;
      Discard();
      throw Fail(std::strerror(err));
    }
    bytes.remove_prefix(size_t(n));
  }
}

void AtomicFile::Commit() {
  int err = fd_ < 0 ? EBADF : 0;
  // fsync reports a write the kernel could not complete later; EINVAL: a file that cannot sync.
  if (err == 0 && ::fsync(fd_) != 0 && errno != EINVAL) err = errno;
  if (fd_ >= 0 && ::close(fd_) != 0 && err == 0) err = errno;
  fd_ = -1;
  if (err == 0 && std::rename(temp_.c_str(), path_.c_str()) != 0) err = errno;
  if (err != 0) {
    Discard();
    throw Fail(std::strerror(err));
  }
  committed_ = true;
  ClearPendingFile(pendingSlot_);
  pendingSlot_ = -1;
}

void AtomicFile::Discard() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (!temp_.empty()) ::unlink(temp_.c_str());
  temp_.clear();
  ClearPendingFile(pendingSlot_);
  pendingSlot_ = -1;
}

void WriteFileAtomically(const std::string& path, std::string_view bytes, AtomicFile::Kind kind) {
  AtomicFile file(path, kind);
  file.Write(bytes);
  file.Commit();
}

}  // namespace orvanta::io

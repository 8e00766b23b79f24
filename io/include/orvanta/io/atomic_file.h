// Files written whole or not at all: the bytes go to a new file beside the final name, created
// under a name no one can guess and never through a link, and are renamed into place only after
// every write, the flush to disk and the close succeeded.
#pragma once

#include <string>
#include <string_view>

#include "orvanta/host/failure.h"

namespace orvanta::io {

// One file being written. The temporary file is the pending file the signal handler removes
// (image_io.h) while it exists. Owned by one thread at a time.
class AtomicFile {
 public:
  enum class Kind { Plain, Executable };
  // Creates the temporary file. Throws Failure "cannot write PATH: why".
  explicit AtomicFile(std::string path, Kind kind = Kind::Plain);
  // Removes the temporary file unless Commit succeeded.
  ~AtomicFile();
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  const std::string& Path() const { return path_; }
  const std::string& TempPath() const { return temp_; }
  // The temporary file's descriptor (read-write), -1 after Commit or Discard.
  int Descriptor() const { return fd_; }

  // Writes all of bytes at the current offset. Throws Failure naming the final path.
  void Write(std::string_view bytes);
  // Flushes to disk, closes and renames the temporary file to the final name. Throws Failure
  // naming the final path, the temporary file then removed.
  void Commit();
  // Removes the temporary file now.
  void Discard();
  // "cannot write PATH: why".
  Failure Fail(const std::string& why) const;

 private:
  std::string path_, temp_;
  int fd_ = -1;
  int pendingSlot_ = -1;  // of the signal handler's list
  bool committed_ = false;
};

// Writes bytes to path through an AtomicFile. Throws Failure naming the path.
void WriteFileAtomically(const std::string& path, std::string_view bytes,
                         AtomicFile::Kind kind = AtomicFile::Kind::Plain);

}  // namespace orvanta::io

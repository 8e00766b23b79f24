// CArchive: buffered 32-bit little-endian reads and writes, the format of saved nodes.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace orvanta {

// Raised by a read past the end of an archive or a failed write.
class ArchiveError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class CArchive {
 public:
  virtual ~CArchive();
  bool IsLoading() const { return loading_; }

  uint32_t ReadWord();
  void WriteWord(uint32_t w);
  double ReadDouble();
  void WriteDouble(double d);
  std::string ReadText();  // length word, bytes, padding to a whole word
  void WriteText(const std::string& s);

  CArchive& operator<<(uint32_t w) {
    WriteWord(w);
    return *this;
  }
  CArchive& operator>>(uint32_t& w) {
    w = ReadWord();
    return *this;
  }

  // Raw access; Read throws ArchiveError when fewer than n bytes are left.
  virtual void Read(void* dst, size_t n) = 0;
  virtual void Write(const void* src, size_t n) = 0;

 protected:
  explicit CArchive(bool loading) : loading_(loading) {}

 private:
  bool loading_;
};

}  // namespace orvanta

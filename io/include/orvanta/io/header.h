// What an image file carries besides the RGBA picture the tools see: its attributes (timecode,
// frame rate, camera matrices, format fields, custom ones), its data and display windows, its
// channels beyond red, green, blue and alpha (with their samples), its sample type and compression,
// whether its colour is premultiplied by alpha, its colour-space tag and its other parts. Read
// with the picture (image_io.h) and given back when a result is written, so that a render keeps
// what the plain copy of the file keeps.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace orvanta::io {

// Whether colour values are stored multiplied by alpha (EXR, associated TIFF) or not (PNG, most
// TIFF).
enum class AlphaConvention { Straight, Premultiplied };

// A rectangle of pixels: origin and size.
struct Window {
  int32_t x = 0, y = 0, width = 0, height = 0;
  bool operator==(const Window&) const = default;
};

// One attribute as text, for listing and for Python ("01:02:03:04", "24/1", "1, 0, 0, ...").
struct AttributeText {
  std::string name, type, value;
};

// An attribute to set: whole numbers, numbers, text (a timecode as "01:02:03:04" and a rate as
// "24/1" for smpte:TimeCode and FramesPerSecond, or wherever the base holds one), or a list of
// numbers (16: a matrix).
struct AttributeValue {
  using Value = std::variant<int64_t, double, std::string, std::vector<double>>;
  std::string name;
  Value value;
};

// The header of one picture of a file, with its extra channels' samples. Immutable once read;
// shared between the reader, the render and the writer threads.
class FileHeader {
 public:
  struct Data;  // defined in io/src (holds the image library's own description)
  explicit FileHeader(std::unique_ptr<Data> data);
  ~FileHeader();
  FileHeader(const FileHeader&) = delete;
  FileHeader& operator=(const FileHeader&) = delete;

  const std::string& Path() const;
  const std::string& FormatName() const;  // "openexr", "png", ...
  Window DataWindow() const;
  Window DisplayWindow() const;
  int ColourChannels() const;  // 3, or 1 for a grey file
  bool HasAlpha() const;
  AlphaConvention Alpha() const;
  // Channels besides colour and alpha, as named in the file ("Z", "diffuse.R").
  std::vector<std::string> ExtraChannels() const;
  // "8-bit", "10-bit", "16-bit", "half", "float", ... as stored.
  std::string SampleName() const;
  std::string Compression() const;
  // The file's colour-space tag, "" when it has none of its own.
  std::string ColourSpace() const;
  // The part read (0 for a single-part file), and how many the file holds.
  int Part() const;
  int Parts() const;
  // Every attribute a written copy keeps, by name.
  std::vector<AttributeText> Attributes() const;
  // The same as values: whole numbers, numbers, text (timecodes and rates as their text), lists.
  std::vector<AttributeValue> Values() const;

  const Data& Internal() const { return *data_; }

 private:
  std::unique_ptr<Data> data_;
};

using HeaderPtr = std::shared_ptr<const FileHeader>;

// A copy of base (which may be null: a header of attributes only) with the attributes set.
// Throws Failure for a name the writer sets itself, or a value that is not of the attribute's kind.
HeaderPtr HeaderWith(const HeaderPtr& base, const std::vector<AttributeValue>& set);

}  // namespace orvanta::io

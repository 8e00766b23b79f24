// Colour management through OpenColorIO: a configuration (the file --ocio-config names, else
// $OCIO, else the project's own: linear Rec.709, sRGB, ACEScg and raw), conversions between its
// colour spaces, and the plan of a render: which space each input is in, the space the tools work
// in, and the space the result is written in.
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "orvanta/host/host.h"
#include "orvanta/io/header.h"

namespace orvanta::io {

// The project's own configuration, as OpenColorIO reads it (also for writing it out to look at).
const char* BuiltInColourConfig();

// A conversion between two colour spaces; alpha passes unchanged. Apply may be called by several
// threads at once.
class ColourConversion {
 public:
  struct Processor;
  explicit ColourConversion(std::unique_ptr<Processor> p);
  ~ColourConversion();
  // n pixels of four floats in place, red first (or blue first when bgra). Premultiplied pixels
  // are converted by their straight colour: divided by alpha first and multiplied back after,
  // where alpha is neither 0 nor 1 (a pixel of no alpha has no straight colour: it is converted as
  // it is), as a non-linear curve must see them.
  void Apply(float* pixels, size_t n, bool bgra, bool premultiplied = false) const;

 private:
  std::unique_ptr<Processor> p_;
};

class ColourConfig {
 public:
  struct Handle;
  // The configuration of path when given, else of $OCIO when set, else the project's own.
  // Throws Failure when the file does not load.
  static std::shared_ptr<const ColourConfig> Load(const std::string& path = "");
  // The project's own, whatever the environment says.
  static std::shared_ptr<const ColourConfig> BuiltIn();
  explicit ColourConfig(std::unique_ptr<Handle> h, std::string source, bool builtIn);
  ~ColourConfig();

  // "the built-in configuration" or "the configuration PATH".
  const std::string& Source() const { return source_; }
  bool IsBuiltIn() const { return builtIn_; }
  // The space's own name for a name or alias; "" when the configuration has no such space.
  std::string Find(const std::string& name) const;
  // The same, throwing Failure ("WHAT NAME is not a colour space of ...; it has ...") when absent.
  std::string Need(const std::string& name, const std::string& what) const;
  // From one space to another (by their own names); null when they are the same. Throws Failure.
  std::shared_ptr<const ColourConversion> Conversion(const std::string& from, const std::string& to) const;
  // The default display and view, for showing pictures of the scene-linear space; exposure (stops)
  // scales the colour before the view, gamma bends the display values after it (^ 1 / gamma).
  std::shared_ptr<const ColourConversion> DefaultView(std::string* name, double exposure = 0.0,
                                                      double gamma = 1.0) const;

 private:
  std::unique_ptr<Handle> h_;
  std::string source_;
  bool builtIn_;
};

// What a render converts: inputs from their space (--colorspace, else each file's own tag, else
// what its reader assumes) into the working space, and the result from the working space into the
// output's (by default the main input's). With none of the three given nothing is converted.
class ColourPlan {
 public:
  // Names are checked against the configuration here; throws Failure.
  ColourPlan(std::shared_ptr<const ColourConfig> config, const std::string& input, const std::string& working,
             const std::string& output);
  bool Active() const { return active_; }
  // The space a file's pictures are in. Throws Failure when its tag is not a space of the
  // configuration and no --colorspace names one.
  std::string SpaceOf(const FileHeader& file) const;
  // The conversion of a file's pictures on reading (null: none). Thread-safe.
  std::shared_ptr<const ColourConversion> ToWorking(const FileHeader& file) const;
  // The conversion of the result before writing (null: none), and the tag the output gets ("" for
  // none); main is the main input's header, or null.
  std::shared_ptr<const ColourConversion> ToOutput(const FileHeader* main) const;
  std::string OutputSpace(const FileHeader* main) const;

 private:
  std::shared_ptr<const ColourConversion> Cached(const std::string& from, const std::string& to) const;
  std::shared_ptr<const ColourConfig> config_;
  std::string input_, working_, output_;
  bool active_ = false;
  mutable std::mutex mutex_;
  mutable std::map<std::pair<std::string, std::string>, std::shared_ptr<const ColourConversion>> cache_;
};

// The picture in float with its colour converted (alpha unchanged; premultiplied pictures by their
// straight colour); integer pictures become float.
host::ImagePtr ConvertedImage(const Image& image, const ColourConversion& conversion, bool premultiplied);

}  // namespace orvanta::io

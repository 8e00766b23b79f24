// Showing float pictures on a display: a view transform (OpenColorIO) from scene-linear values to
// 8-bit display values, through the colour configuration renders use (colour.h): the one named,
// else $OCIO's, whose default display and view are used; with the built-in configuration the
// transform is its sRGB view, kept as a table.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "orvanta/host/host.h"

namespace orvanta::io {

class ViewTransform {
 public:
  // From $OCIO when set, else the built-in linear to sRGB view. Throws Failure when $OCIO names a
  // configuration that does not load or has no display.
  static std::unique_ptr<ViewTransform> FromEnvironment();
  // The same with the configuration of path ("" as FromEnvironment).
  static std::unique_ptr<ViewTransform> FromConfig(const std::string& path);
  // The built-in linear to sRGB view, whatever the environment says.
  static std::unique_ptr<ViewTransform> Srgb();
  ~ViewTransform();

  // "sRGB (built in)" or "DISPLAY / VIEW from PATH".
  const std::string& Name() const { return name_; }
  // A float image as a new 8-bit image: colour through the view, alpha clamped to 0..1, both rounded to 8
  // bits. Not for use by two threads at once.
  host::ImagePtr Apply(const Image& image) const;

 private:
  struct Processor;
  ViewTransform(std::unique_ptr<Processor> p, std::string name);
  std::unique_ptr<Processor> processor_;
  std::string name_;
};

}  // namespace orvanta::io

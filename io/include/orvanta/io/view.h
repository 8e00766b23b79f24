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

// How a float picture is looked at, besides the view itself: exposure in stops scales the
// scene-linear colour before the view (+1 doubles it), and gamma bends the display values after it
// (display ^ (1 / gamma): above 1 lightens the mid-tones). Alpha is never touched.
struct ViewAdjust {
  double exposure = 0.0;
  double gamma = 1.0;
  bool operator==(const ViewAdjust&) const = default;
};
// Exposure from -20 to 20 stops, gamma from 0.1 to 10.
inline constexpr double kMaxExposure = 20.0, kMinGamma = 0.1, kMaxGamma = 10.0;

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
  // A float image as a new 8-bit image: colour through the view (with the adjustment), alpha
  // clamped to 0..1, both rounded to 8 bits. Throws Failure for an integer image or an adjustment
  // outside its limits. Not for use by two threads at once (the adjusted view is kept for the next
  // call).
  host::ImagePtr Apply(const Image& image, const ViewAdjust& adjust = {}) const;

 private:
  struct Processor;
  struct Adjusted;
  ViewTransform(std::unique_ptr<Processor> p, std::string name);
  const Adjusted& AdjustedFor(const ViewAdjust& adjust) const;
  std::unique_ptr<Processor> processor_;
  mutable std::unique_ptr<Adjusted> adjusted_;
  std::string name_;
};

}  // namespace orvanta::io

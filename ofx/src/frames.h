// The host's images as images of the contract, and a tool's result into the host's output image.
//
// A host image is RGBA, 8-bit, 16-bit or float, its rows bottom-up and rowBytes apart (possibly
// a negative distance, possibly more than a row's pixels). It is wrapped, not copied: the wrapper's
// row table points into the host's memory top row first, and its access routines are the
// runtime's own conversions with red and blue exchanged, so the tools read exactly the values
// they read from the runtime's images of the same samples.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "orvanta/image.h"
#include "orvanta/ofx/ofx_api.h"

namespace orvanta::ofx {

class HostFrame : public Image {
 public:
  // Wraps the image behind handle; throws OfxError (kOfxStatErrImageFormat) for components
  // other than RGBA or a depth other than 8-bit, 16-bit or float. The handle stays the host's.
  explicit HostFrame(OfxPropertySetHandle handle);
  ~HostFrame() override;

  const OfxRectI& Bounds() const { return bounds_; }
  OfxPropertySetHandle Handle() const { return handle_; }

 private:
  OfxPropertySetHandle handle_;
  OfxRectI bounds_{};
  std::vector<uint8_t*> rows_;
};

// The depth (Depth8, Depth16, DepthFloat) of an OpenFX bit depth name; 0 for any other.
uint32_t DepthOfName(const std::string& name);

// Writes result into out: the result's top-left pixel at pixel column x0 and its bottom row at
// pixel row y0 (bottom-up), clipped to out's bounds; out's pixels the result does not cover
// become transparent black. Rows go on the runtime's chunk runner (the render's threads).
void PutResult(const Image& result, HostFrame& out, int32_t x0, int32_t y0);

}  // namespace orvanta::ofx

// The host's images as images of the contract, and a tool's result into the host's output image.
//
// A host image is RGBA, 8-bit, 16-bit or float, its rows bottom-up and rowBytes apart (possibly
// a negative distance, possibly more than a row's pixels). HostFrame wraps it: its row table
// points into the host's memory top row first, and its access routines are the runtime's own
// conversions with red and blue exchanged, so it reads as the runtime's image of the same samples.
//
// The tools render the host's inputs from a copy in the runtime's own (BGRA) storage, made in one
// pass on the render's threads and kept for the next render: on a wrapped image they take their
// general path, a call per pixel through the access routines, which measured 1.1 to 1.8 times the
// time of that pass and their fast path together. The result, in the runtime's storage, goes into
// the host's output image in one more pass.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "orvanta/host/host.h"
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

// The frame in the runtime's own storage, converted on the render's threads into keep (made or
// made again when it is not of the frame's size and depth).
Image* RuntimeCopy(const HostFrame& frame, host::ImagePtr& keep);

// Writes result into out: the result's top-left pixel at pixel column x0 and its bottom row at
// pixel row y0 (bottom-up), clipped to out's bounds; out's pixels the result does not cover
// become transparent black. Rows go on the runtime's chunk runner (the render's threads).
void PutResult(const Image& result, HostFrame& out, int32_t x0, int32_t y0);

}  // namespace orvanta::ofx

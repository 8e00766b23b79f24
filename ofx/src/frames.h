// The host's images as images of the contract, and a tool's result into the host's output image.
//
// A host image is RGBA, 8-bit, 16-bit or float, its rows bottom-up and rowBytes apart (possibly
// a negative distance, possibly more than a row's pixels). HostFrame wraps it in place: its row
// table points into the host's memory top row first, and it is an image of the runtime's RGBA
// storage of its depth, so the tools read it on their fast paths as they read the runtime's own
// images. The host's output image is offered to the render as its target
// (host::ScopedRenderTarget): a tool that makes its result of the output's size writes it there,
// and nothing is copied; any other result goes into the output in one pass.
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
  // Memory whose rows do not start on whole samples gets custom storage (access routines only).
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
// become transparent black. Rows already in place (the result rendered into out) are left as
// they are. Rows go on the runtime's chunk runner (the render's threads).
void PutResult(const Image& result, HostFrame& out, int32_t x0, int32_t y0);

}  // namespace orvanta::ofx

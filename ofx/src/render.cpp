// The instance's image actions: regions of definition and of interest, clip preferences and
// rendering.
#include <cmath>
#include <optional>

#include "frames.h"
#include "instance.h"
#include "threads.h"

namespace orvanta::ofx {
namespace {

// Beyond this many pixels a side a region is taken as infinite: no tool can take such an input.
constexpr double kLargestSide = 1 << 20;

struct PixelSize {
  int32_t width = 0, height = 0;
};

// A clip's region of definition in pixels at scale: the pixels it touches, as whole pixels.
PixelSize PixelsOf(const OfxRectD& r, OfxPointD scale, double par, const std::string& clip) {
  const double x1 = std::floor(r.x1 * scale.x / par), x2 = std::ceil(r.x2 * scale.x / par);
  const double y1 = std::floor(r.y1 * scale.y), y2 = std::ceil(r.y2 * scale.y);
  if (!(x2 - x1 <= kLargestSide && y2 - y1 <= kLargestSide && x1 > -1e15 && y1 > -1e15))
    throw OfxError(kOfxStatFailed, "the image input " + clip + " has no finite region of definition");
  return PixelSize{int32_t(std::max(0.0, x2 - x1)), int32_t(std::max(0.0, y2 - y1))};
}

bool Connected(OfxImageClipHandle clip) {
  return clip && ClipProps(clip).IntOr(kOfxImageClipPropConnected, 1) != 0;
}

// Releases the images fetched in an action, and takes a node's inputs off the images connected,
// on every way out.
class Fetched {
 public:
  Fetched() = default;
  ~Fetched() {
    for (Input* in : connected_) host::Disconnect(in);
    for (OfxPropertySetHandle h : handles_) Host().effect->clipReleaseImage(h);
  }
  Fetched(const Fetched&) = delete;
  Fetched& operator=(const Fetched&) = delete;

  // The image of clip at time, or null when the host has none.
  std::unique_ptr<HostFrame> Image(OfxImageClipHandle clip, double time) {
    OfxPropertySetHandle h = nullptr;
    if (Host().effect->clipGetImage(clip, time, nullptr, &h) != kOfxStatOK || !h) return nullptr;
    handles_.push_back(h);
    return std::make_unique<HostFrame>(h);
  }
  void Connect(Input* in, orvanta::Image* image) {
    host::Connect(in, image, "");
    connected_.push_back(in);
  }

 private:
  std::vector<OfxPropertySetHandle> handles_;
  std::vector<Input*> connected_;
};

}  // namespace

bool Instance::RegionOfDefinition(double time, OfxPointD scale, OfxRectD& rod) {
  std::lock_guard<std::mutex> lock(sizing_.mutex);
  host::Node& node = *sizing_.node;
  Push(node, ReadAll(time));
  if (!(scale.x > 0.0) || !(scale.y > 0.0)) scale = OfxPointD{1.0, 1.0};
  std::optional<OfxRectD> mainRod;
  PixelSize mainSize;
  double par = 1.0;
  Fetched inputs;
  for (size_t k = 0; k < clips_.size(); ++k) {
    const ClipPlan& c = tool_.plan.clips[k];
    OfxRectD r{};
    const bool have =
        Connected(clips_[k]) && Host().effect->clipGetRegionOfDefinition(clips_[k], time, &r) == kOfxStatOK;
    if (!have) {
      if (!c.optional) return false;
      host::Disconnect(InputOf(node, k));
      continue;
    }
    Props props = ClipProps(clips_[k]);
    double aspect = 1.0;
    if (Host().property->propGetDouble(props.Handle(), kOfxImagePropPixelAspectRatio, 0, &aspect) !=
            kOfxStatOK ||
        !(aspect > 0.0))
      aspect = 1.0;
    const PixelSize size = PixelsOf(r, scale, aspect, c.label);
    uint32_t depth = DepthOfName(props.StringOr(kOfxImageEffectPropPixelDepth, ""));
    if (!depth) depth = Depth16;
    host::ImagePtr& stand = stand_ins_[k];
    if (!stand || stand->Width != size.width || stand->Height != size.height || stand->Depth != depth)
      stand = host::MakeImage(size.width, size.height, depth);  // cleared pages, never written
    inputs.Connect(InputOf(node, k), stand.get());
    if (k == 0) mainRod = r, mainSize = size, par = aspect;
  }
  host::RenderResult sized;
  {
    host::ScopedSizing sizing;
    sized = node.Render(time);
  }
  if (!sized.ok()) throw OfxError(kOfxStatFailed, sized.error);
  rod = *mainRod;
  if (sized.image->Width != mainSize.width || sized.image->Height != mainSize.height) {
    // The output keeps the main input's bottom-left corner.
    rod.x2 = rod.x1 + sized.image->Width * par / scale.x;
    rod.y2 = rod.y1 + sized.image->Height / scale.y;
  }
  return true;
}

void Instance::RegionsOfInterest(double time, Props out) {
  // The tools read their inputs whole.
  for (size_t k = 0; k < clips_.size(); ++k) {
    OfxRectD r{};
    if (!Connected(clips_[k]) || Host().effect->clipGetRegionOfDefinition(clips_[k], time, &r) != kOfxStatOK)
      continue;
    out.SetDoubles((kOfxImageClipPropRoIPrefix + tool_.plan.clips[k].name).c_str(), {r.x1, r.y1, r.x2, r.y2},
                   Need::Optional);
  }
}

void Instance::ClipPreferences(Props out) {
  // The tools keep the main input's alpha convention; opaque input may come out with alpha
  // (transparent black where nothing is drawn), which is premultiplied.
  const std::string main = Connected(clips_[0])
                               ? ClipProps(clips_[0]).StringOr(kOfxImageEffectPropPreMultiplication, "")
                               : std::string();
  out.SetString(kOfxImageEffectPropPreMultiplication,
                main == kOfxImageUnPreMultiplied ? kOfxImageUnPreMultiplied : kOfxImagePreMultiplied,
                Need::Optional);
}

void Instance::Render(double time) {
  std::lock_guard<std::mutex> lock(render_.mutex);
  host::Node& node = *render_.node;
  Push(node, ReadAll(time));
  Fetched fetched;
  std::vector<std::unique_ptr<HostFrame>> frames(clips_.size());
  for (size_t k = 0; k < clips_.size(); ++k) {
    const ClipPlan& c = tool_.plan.clips[k];
    if (Connected(clips_[k])) frames[k] = fetched.Image(clips_[k], time);
    if (!frames[k] && !c.optional)
      throw OfxError(kOfxStatFailed, tool_.name + ": the image input \"" + c.label +
                                         "\" has no picture; connect it to render");
  }
  std::unique_ptr<HostFrame> out = fetched.Image(output_, time);
  if (!out) throw OfxError(kOfxStatFailed, tool_.name + ": the host gave no output image to render into");
  RenderThreads threads;
  for (size_t k = 0; k < clips_.size(); ++k) {
    if (frames[k])
      fetched.Connect(InputOf(node, k), frames[k].get());
    else
      host::Disconnect(InputOf(node, k));
  }
  const OfxRectI& at = frames[0]->Bounds();
  host::RenderResult r;
  {
    // The output image is where a result of its size belongs when it starts at the main
    // input's corner, as the result does.
    std::optional<host::ScopedRenderTarget> inPlace;
    if (IsHostStorage(out->Storage) && out->Bounds().x1 == at.x1 && out->Bounds().y1 == at.y1)
      inPlace.emplace(out.get());
    r = node.Render(time);
  }
  if (!r.ok()) throw OfxError(kOfxStatFailed, r.error);
  PutResult(*r.image, *out, at.x1, at.y1);
}

}  // namespace orvanta::ofx

namespace orvanta::ofx {

void Instance::Purge() {
  std::lock_guard<std::mutex> lock(sizing_.mutex);
  for (host::ImagePtr& stand : stand_ins_) stand.reset();
}

}  // namespace orvanta::ofx

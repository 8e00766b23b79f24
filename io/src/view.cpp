#include "orvanta/io/view.h"

#include <OpenColorIO/OpenColorIO.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "orvanta/host/failure.h"
#include "orvanta/io/colour.h"

namespace orvanta::io {
namespace OCIO = OCIO_NAMESPACE;

// The view as configured: the built-in curve, or a configuration's default display and view.
struct ViewTransform::Processor {
  std::shared_ptr<const ColourConfig> config;  // null for the built-in curve
};

// The view with one adjustment, kept until another is asked for.
struct ViewTransform::Adjusted {
  ViewAdjust adjust;
  float gain = 1.0f;                             // 2 ^ exposure, applied to the colour before the view
  std::shared_ptr<const ColourConversion> view;  // a configuration's display and view
  // For a transform that treats each channel alike and alone (the built-in curve): display bytes
  // of kLutSteps + 1 evenly spaced values over 0..1, computed once, so a picture costs a lookup
  // per sample instead of the curve.
  std::vector<uint8_t> lut;
};

namespace {

constexpr int kLutSteps = 16384;

// The sRGB curve: a 2.4 power with a linear toe, applied from linear to display values.
OCIO::TransformRcPtr SrgbCurve() {
  OCIO::ExponentWithLinearTransformRcPtr curve = OCIO::ExponentWithLinearTransform::Create();
  const double gamma[4] = {2.4, 2.4, 2.4, 1.0};
  const double offset[4] = {0.055, 0.055, 0.055, 0.0};
  curve->setGamma(gamma);
  curve->setOffset(offset);
  curve->setDirection(OCIO::TRANSFORM_DIR_INVERSE);
  return curve;
}

// display ^ (1 / gamma) on the colour, alpha untouched.
OCIO::TransformRcPtr GammaCurve(double gamma) {
  OCIO::ExponentTransformRcPtr e = OCIO::ExponentTransform::Create();
  const double v[4] = {1.0 / gamma, 1.0 / gamma, 1.0 / gamma, 1.0};
  e->setValue(v);
  return e;
}

uint8_t ToByte(float v) {
  if (!(v > 0.0f)) return 0;  // also NaN
  if (v >= 1.0f) return 255;
  return uint8_t(v * 255.0f + 0.5f);
}

void CheckAdjust(const ViewAdjust& a) {
  if (!(std::fabs(a.exposure) <= kMaxExposure))
    throw Failure("the exposure is from -20 to 20 stops, not " + std::to_string(a.exposure));
  if (!(a.gamma >= kMinGamma && a.gamma <= kMaxGamma))
    throw Failure("the gamma is from 0.1 to 10, not " + std::to_string(a.gamma));
}

}  // namespace

ViewTransform::ViewTransform(std::unique_ptr<Processor> p, std::string name)
    : processor_(std::move(p)), name_(std::move(name)) {}
ViewTransform::~ViewTransform() = default;

std::unique_ptr<ViewTransform> ViewTransform::Srgb() {
  auto view =
      std::unique_ptr<ViewTransform>(new ViewTransform(std::make_unique<Processor>(), "sRGB (built in)"));
  (void)view->AdjustedFor({});  // any fault of the library shows here, not at the first picture
  return view;
}

std::unique_ptr<ViewTransform> ViewTransform::FromEnvironment() { return FromConfig(""); }

std::unique_ptr<ViewTransform> ViewTransform::FromConfig(const std::string& path) {
  // The configuration renders use; the built-in one's view is the sRGB curve, kept as a table.
  std::shared_ptr<const ColourConfig> config = ColourConfig::Load(path);
  if (config->IsBuiltIn()) return Srgb();
  std::string name;
  (void)config->DefaultView(&name);  // a configuration without a usable view fails here
  const std::string source = config->Source().substr(std::string("the colour configuration ").size());
  auto p = std::make_unique<Processor>();
  p->config = std::move(config);
  auto out = std::unique_ptr<ViewTransform>(new ViewTransform(std::move(p), name + " from " + source));
  (void)out->AdjustedFor({});
  return out;
}

const ViewTransform::Adjusted& ViewTransform::AdjustedFor(const ViewAdjust& adjust) const {
  if (adjusted_ && adjusted_->adjust == adjust) return *adjusted_;
  CheckAdjust(adjust);
  auto a = std::make_unique<Adjusted>();
  a->adjust = adjust;
  a->gain = float(std::exp2(adjust.exposure));
  try {
    if (!processor_->config) {
      // Per channel: the exposure stays a multiply before the table, which spans 0..1.
      OCIO::GroupTransformRcPtr group = OCIO::GroupTransform::Create();
      group->appendTransform(SrgbCurve());
      if (adjust.gamma != 1.0) group->appendTransform(GammaCurve(adjust.gamma));
      OCIO::ConstCPUProcessorRcPtr cpu =
          OCIO::Config::CreateRaw()->getProcessor(group)->getDefaultCPUProcessor();
      std::vector<float> ramp(size_t(kLutSteps + 1) * 4);
      for (int i = 0; i <= kLutSteps; ++i)
        for (int c = 0; c < 4; ++c) ramp[4 * size_t(i) + c] = float(i) / kLutSteps;
      OCIO::PackedImageDesc desc(ramp.data(), kLutSteps + 1, 1, 4);
      cpu->apply(desc);
      a->lut.resize(size_t(kLutSteps) + 1);
      for (int i = 0; i <= kLutSteps; ++i) a->lut[size_t(i)] = ToByte(ramp[4 * size_t(i)]);
    } else {
      a->view = processor_->config->DefaultView(nullptr, adjust.exposure, adjust.gamma);
      a->gain = 1.0f;  // in the view
    }
  } catch (const OCIO::Exception& e) {
    throw Failure(std::string("the view transform cannot be made: ") + e.what());
  }
  adjusted_ = std::move(a);
  return *adjusted_;
}

host::ImagePtr ViewTransform::Apply(const Image& im, const ViewAdjust& adjust) const {
  if (im.Depth != DepthFloat) throw Failure("the view transform takes float images only");
  const Adjusted& a = AdjustedFor(adjust);
  host::ImagePtr out = host::MakeImage(im.Width, im.Height, Depth8, false);
  const float gain = a.gain;
  if (!a.lut.empty()) {
    const uint8_t* lut = a.lut.data();
    auto colour = [lut, gain](float s) {
      const float v = s * gain;
      return v > 0.0f ? lut[v >= 1.0f ? kLutSteps : int(v * kLutSteps + 0.5f)] : lut[0];
    };
    for (int32_t y = 0; y < im.Height; ++y) {
      const float* s = reinterpret_cast<const float*>(host::RowBytes(&im, y));
      uint8_t* d = host::RowBytes(out.get(), y);
      for (size_t i = 0; i < size_t(im.Width) * 4; i += 4) {
        d[i] = colour(s[i]), d[i + 1] = colour(s[i + 1]), d[i + 2] = colour(s[i + 2]);
        d[i + 3] = ToByte(s[i + 3]);
      }
    }
    return out;
  }
  // The transform runs in place, on a copy of each row, told the samples are in BGRA order.
  std::vector<float> row(size_t(im.Width) * 4);
  for (int32_t y = 0; y < im.Height; ++y) {
    const float* s = reinterpret_cast<const float*>(host::RowBytes(&im, y));
    std::copy(s, s + row.size(), row.begin());
    a.view->Apply(row.data(), size_t(im.Width), true);
    uint8_t* d = host::RowBytes(out.get(), y);
    for (size_t i = 0; i < row.size(); ++i) d[i] = ToByte(row[i]);
  }
  return out;
}

}  // namespace orvanta::io

// The ToneGate float rows built for AVX2: this file alone is compiled for it.
#include "float_lanes.h"

namespace orvanta {
inline namespace tonegate {

void FloatRowAvx2(Family family, const Curve& curve, const bool (&enabled)[4], const float* src, float* dst,
                  int32_t width) {
  Rows<4>(family, curve, enabled, src, dst, width);
}

}  // namespace tonegate
}  // namespace orvanta

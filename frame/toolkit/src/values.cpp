// Control values of a request, and setting them as a host UI would.
#include "orvanta/skeleton.h"

namespace orvanta {

double NumberValue(Input* in, Request* req) {
  auto* n = dynamic_cast<Number*>(in->GetValue(req, 0));
  return n ? n->Value() : 0.0;
}

int32_t WholeValue(Input* in, Request* req) { return TruncToInt(NumberValue(in, req)); }

Image* ImageValue(Input* in, Request* req) { return dynamic_cast<Image*>(in->GetValue(req, 0)); }

Point PointValue(Input* in, Request* req) {
  auto* p = dynamic_cast<Point*>(in->GetValue(req, 0));
  return p ? Point(p->X, p->Y) : Point(0.0, 0.0);
}

void SetNumberValue(Input* in, double value, double time) {
  AutoNumber n(value);
  in->SetValue(n.get(), time, 1);
}

void SetPointValue(Input* in, double x, double y, double time) {
  AutoParameter p(new Point(x, y));
  in->SetValue(p.get(), time, 1);
}

void SetShown(Input* in, bool shown) { in->SetAttrs(TagList{{InShown, shown ? 1 : 0}}); }

}  // namespace orvanta

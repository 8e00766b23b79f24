// Declaration walking and control-value helpers shared by every tool.
#include <stdexcept>

#include "orvanta/skeleton.h"

namespace orvanta {

Output* DeclareRows(Operator* op, const std::vector<Row>& rows, Input** inputs) {
  Output* out = nullptr;
  size_t next = 0;
  for (const Row& row : rows) {
    switch (row.kind) {
      case Row::kInput:
        inputs[next++] = op->AddInput(row.label, row.type, row.id, row.tags);
        break;
      case Row::kPage:
        op->AddControlPage(row.label, row.tags);
        break;
      case Row::kOutput:
        out = op->AddOutput(row.label, row.type, row.id, row.tags);
        break;
    }
  }
  return out;
}

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

// Inputs, outputs, requests and the operator base: control descriptions from tag lists, values
// over time, the set-value path with its notification, and the host's part of saving a node.
#include <algorithm>
#include <cstdio>

#include "state.h"

namespace orvanta {
namespace {

constexpr uint32_t kHostDataMark = FourCC("OHD1");
constexpr uint32_t kMaxSavedInputs = 4096;
constexpr uint32_t kMaxSavedKeys = 1u << 20;

std::string HexId(uint32_t id) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", id);
  return buf;
}

void ApplyTag(host::ControlDescription& d, const Tag& t) {
  switch (t.tag) {
    case InRequired:
      d.required = uint32_t(t.word) != 0;
      break;
    case InLinkOption:
      d.linkOption = int32_t(uint32_t(t.word));
      break;
    case InControl:
      d.control = uint32_t(t.word);
      break;
    case InPreviewControl:
      d.previewControl = uint32_t(t.word);
      break;
    case InGroup:
      d.group = int32_t(uint32_t(t.word));
      break;
    case InGroupIndex:
      d.groupIndex = int32_t(uint32_t(t.word));
      break;
    case InListOption:
      d.listOption = int32_t(uint32_t(t.word));
      break;
    case InWholeNumbers:
      d.wholeNumbers = uint32_t(t.word) != 0;
      break;
    case InRangeLow:
      d.rangeLow = t.number;
      break;
    case InRangeHigh:
      d.rangeHigh = t.number;
      break;
    case InLimitLow:
      d.limitLow = t.number;
      break;
    case InLimitHigh:
      d.limitHigh = t.number;
      break;
    case InDefault:
      d.defaultValue = t.number;
      break;
    case InGroupLabel:
      d.groupLabel = t.text ? t.text : "";
      break;
    case InRowCount:
      d.rowCount = int32_t(uint32_t(t.word));
      break;
    case InShown:
      d.shown = uint32_t(t.word) != 0;
      break;
    case InListItem:
      d.items.emplace_back(t.text ? t.text : "");
      break;
    default:
      break;  // tags of no meaning to this host are kept in declaredTags only
  }
}

void InsertKey(std::vector<host::Key>& keys, const host::Key& k) {
  auto it = std::lower_bound(keys.begin(), keys.end(), k.time,
                             [](const host::Key& a, double t) { return a.time < t; });
  if (it != keys.end() && it->time == k.time)
    *it = k;
  else
    keys.insert(it, k);
}

host::Key Interpolate(const std::vector<host::Key>& keys, double t) {
  if (keys.size() == 1 || t <= keys.front().time) return keys.front();
  if (t >= keys.back().time) return keys.back();
  auto hi = std::upper_bound(keys.begin(), keys.end(), t,
                             [](double tt, const host::Key& a) { return tt < a.time; });
  auto lo = hi - 1;
  double f = (t - lo->time) / (hi->time - lo->time);
  return host::Key{t, lo->x + (hi->x - lo->x) * f, lo->y + (hi->y - lo->y) * f};
}

}  // namespace

// ---- Request ----------------------------------------------------------------------------------

Request::Request(double time) : state_(new RequestState) { state_->time = time; }
Request::~Request() { delete state_; }
int32_t Request::GetPri() const { return 0; }
double Request::Time() const { return state_->time; }

// ---- Input ------------------------------------------------------------------------------------

Input::~Input() { delete state_; }

Parameter* Input::GetValue(Request* req, uint32_t) {
  if (!req) return nullptr;
  RequestState* rs = req->State();
  std::lock_guard<std::mutex> lock(rs->mutex);
  auto it = rs->values.find(this);
  if (it != rs->values.end()) return it->second.get();
  InputState* s = state_;
  Parameter* value = nullptr;
  if (s->desc.type == ImageDataType) {
    // Images belong to their source; the request keeps no copy.
    if (!s->connected) return nullptr;
    if (s->fixedImage) return s->fixedImage;
    auto cached = rs->images.find(this);
    if (cached != rs->images.end()) return cached->second;
    Image* im = s->source ? s->source(rs->time) : nullptr;
    rs->images[this] = im;
    return im;
  }
  if (s->desc.type == PointDataType) {
    Point p = host::PointAt(this, rs->time);
    value = new Point(p.X, p.Y);
  } else {
    value = new Number(s->driven ? *s->driven : host::NumberAt(this, rs->time));
  }
  rs->values[this].reset(value);
  return value;
}

void Input::SetValue(Parameter* value, double time, uint32_t flags) {
  InputState* s = state_;
  host::Key k{time, 0.0, 0.0};
  if (auto* n = dynamic_cast<Number*>(value)) {
    k.x = n->Value();
  } else if (auto* p = dynamic_cast<Point*>(value)) {
    k.x = p->X;
    k.y = p->Y;
  } else {
    return;
  }
  if (flags & 2u) {  // add a keyframe: the input becomes animated
    if (!s->animated) s->keys.clear();
    s->animated = true;
    InsertKey(s->keys, k);
  } else if (s->animated) {
    InsertKey(s->keys, k);
  } else {
    s->keys.assign(1, host::Key{0.0, k.x, k.y});
  }
  if (s->owner) s->owner->NotifyChanged(this, value, time);
}

void Input::SetAttrs(const TagList& tags) {
  for (const Tag& t : tags) {
    switch (t.tag) {
      case InShown:
      case InRangeLow:
      case InRangeHigh:
      case InLimitLow:
      case InLimitHigh:
      case InDefault:
        ApplyTag(state_->desc, t);
        break;
      default:
        break;
    }
  }
}

// ---- Output -----------------------------------------------------------------------------------

Output::~Output() = default;

void Output::Set(Request* req, Parameter* value) {
  if (!req) return;
  auto* im = dynamic_cast<Image*>(value);
  if (!im) {
    delete value;
    return;
  }
  req->State()->result.reset(im);
}

// ---- Operator ---------------------------------------------------------------------------------

Operator::Operator(Registry* reg, CArchive* archive, TagList*) {
  auto st = std::make_unique<OperatorState>();
  if (reg) st->cls = host::FindClass(reg->Name());
  if (archive) {
    if (archive->ReadWord() != kHostDataMark)
      throw ArchiveError("the node's host data is missing or damaged");
    uint32_t n = archive->ReadWord();
    if (n > kMaxSavedInputs) throw ArchiveError("the node claims " + std::to_string(n) + " inputs");
    for (uint32_t i = 0; i < n; ++i) {
      uint32_t id = archive->ReadWord();
      SavedValue v;
      v.type = archive->ReadWord();
      if (v.type == ImageDataType) {
        v.sourceName = archive->ReadText();
      } else if (v.type == NumberDataType || v.type == PointDataType) {
        uint32_t animated = archive->ReadWord();
        uint32_t k = archive->ReadWord();
        if (animated > 1 || k > kMaxSavedKeys)
          throw ArchiveError("the values of input " + HexId(id) + " are damaged");
        for (uint32_t j = 0; j < k; ++j) {
          host::Key key{archive->ReadDouble(), archive->ReadDouble(), 0.0};
          if (v.type == PointDataType) key.y = archive->ReadDouble();
          v.keys.push_back(key);
        }
        std::sort(v.keys.begin(), v.keys.end(),
                  [](const host::Key& a, const host::Key& b) { return a.time < b.time; });
        // A constant keeps its first key. (Erased rather than resized: GCC 12 at -O3 warns falsely
        // that resize(1) writes out of bounds.)
        if (animated == 0 && v.keys.size() > 1) v.keys.erase(v.keys.begin() + 1, v.keys.end());
        v.animated = animated != 0;
      } else {
        throw ArchiveError("input " + HexId(id) + " has an unknown data type");
      }
      st->saved[id] = std::move(v);
    }
  }
  state_ = st.release();
  Owner = new ImageOwner(this);
  state_->owner.reset(Owner);
}

Operator::~Operator() { delete state_; }

void* Operator::DeletingDestructor(uint32_t flags) {
  this->~Operator();
  if (flags & 1u) Object::operator delete(this);
  return this;
}

void Operator::CopyAttr(const Operator*) {}

int Operator::Save(CArchive* archive, TagList*) {
  archive->WriteWord(kHostDataMark);
  archive->WriteWord(uint32_t(state_->inputs.size()));
  for (auto& in : state_->inputs) {
    InputState* s = in->State();
    archive->WriteWord(s->desc.id);
    archive->WriteWord(s->desc.type);
    if (s->desc.type == ImageDataType) {
      archive->WriteText(s->connected ? s->sourceName : std::string());
      continue;
    }
    archive->WriteWord(s->animated ? 1u : 0u);
    archive->WriteWord(uint32_t(s->keys.size()));
    for (const host::Key& k : s->keys) {
      archive->WriteDouble(k.time);
      archive->WriteDouble(k.x);
      if (s->desc.type == PointDataType) archive->WriteDouble(k.y);
    }
  }
  return 1;
}

void Operator::EndUndo() {}
int Operator::HandleRequest(Request*) { return 1; }

int Operator::CheckRequest(Request* req) {
  for (auto& in : state_->inputs) {
    InputState* s = in->State();
    if (s->desc.IsRequired() && !s->connected) {
      if (req)
        req->State()->error = "the image input \"" + s->desc.label + "\" is required but not connected";
      return 0;
    }
  }
  return 1;
}

void Operator::OnConnect(Input*) {}
void Operator::PostProcess(Request*) {}
void Operator::Process(Request*) {}
void Operator::SetSource(Input*, Parameter*) {}
void Operator::ReplaceWith(Operator*) {}
void Operator::NotifyChanged(Input*, Parameter*, double) {}
void Operator::RegionChanged() {}

Input* Operator::AddInput(const char* label, uint32_t type, uint32_t id, const TagList& tags) {
  for (auto& in : state_->inputs)
    if (in->State()->desc.id == id)
      throw std::invalid_argument("input \"" + std::string(label ? label : "") + "\" repeats the id " +
                                  HexId(id) + " of input \"" + in->State()->desc.label + "\"");
  auto s = std::make_unique<InputState>();
  s->owner = this;
  s->desc.label = label ? label : "";
  s->desc.type = type;
  s->desc.id = id;
  s->desc.page = state_->currentPage;
  s->desc.declaredTags = tags;
  for (const Tag& t : tags) ApplyTag(s->desc, t);
  auto saved = state_->saved.find(id);
  if (saved != state_->saved.end() && (saved->second.type == type)) {
    if (type == ImageDataType) {
      s->sourceName = saved->second.sourceName;
    } else {
      s->keys = saved->second.keys;
      s->animated = saved->second.animated;
    }
  }
  Input* in = new Input(s.release());
  state_->inputs.emplace_back(in);
  state_->inputList.push_back(in);
  return in;
}

void Operator::AddControlPage(const char* label, const TagList&) {
  state_->currentPage = label ? label : "";
  state_->pages.push_back(state_->currentPage);
}

Output* Operator::AddOutput(const char*, uint32_t, uint32_t id, const TagList&) {
  Output* out = new Output(this, id);
  state_->outputs.emplace_back(out);
  return out;
}

void Operator::RegInit(Registry*) {}
void Operator::RegCleanup(Registry*) {}

ThreadedOperator::ThreadedOperator(Registry* reg, CArchive* archive, TagList* tags)
    : Operator(reg, archive, tags) {}
ThreadedOperator::~ThreadedOperator() = default;
void ThreadedOperator::ThreadMain() {}
void ThreadedOperator::ProcessChunk(Request*, int32_t) {}
void ThreadedOperator::QuickProcessChunk(Request*, int32_t) {}

void ThreadedOperator::DoMultiProcess(Request* req, int32_t n) {
  if (n <= 0) return;
  hostdetail::RunChunks(n, [this, req](int32_t i) { ProcessChunk(req, i); });
}

// ---- host-side control access -----------------------------------------------------------------

namespace host {

const ControlDescription& Describe(const Input* in) { return in->State()->desc; }

std::vector<Key> Keys(const Input* in) { return in->State()->keys; }

void SetKeys(Input* in, std::vector<Key> keys) {
  const bool animated = keys.size() > 1;
  SetKeys(in, std::move(keys), animated);
}

void SetKeys(Input* in, std::vector<Key> keys, bool animated) {
  std::sort(keys.begin(), keys.end(), [](const Key& a, const Key& b) { return a.time < b.time; });
  in->State()->animated = animated && !keys.empty();
  in->State()->keys = std::move(keys);
}

bool IsAnimated(const Input* in) { return in->State()->animated; }

double NumberAt(const Input* in, double time) {
  const InputState* s = in->State();
  if (s->keys.empty()) return s->desc.defaultValue.value_or(0.0);
  return Interpolate(s->keys, time).x;
}

Point PointAt(const Input* in, double time) {
  const InputState* s = in->State();
  if (s->keys.empty()) return Point(0.5, 0.5);
  Key k = Interpolate(s->keys, time);
  return Point(k.x, k.y);
}

void Drive(Input* in, double value) { in->State()->driven = value; }
void Undrive(Input* in) { in->State()->driven.reset(); }
std::optional<double> DrivenValue(const Input* in) { return in->State()->driven; }

void Connect(Input* in, Image* image, std::string name) {
  InputState* s = in->State();
  s->fixedImage = image;
  s->source = nullptr;
  s->sourceName = std::move(name);
  s->connected = image != nullptr;
}

void Connect(Input* in, ImageSource source, std::string name) {
  InputState* s = in->State();
  s->fixedImage = nullptr;
  s->connected = bool(source);
  s->source = std::move(source);
  s->sourceName = std::move(name);
}

void Disconnect(Input* in) {
  InputState* s = in->State();
  s->fixedImage = nullptr;
  s->source = nullptr;
  s->connected = false;
}

bool IsConnected(const Input* in) { return in->State()->connected; }
const std::string& SourceName(const Input* in) { return in->State()->sourceName; }

}  // namespace host
}  // namespace orvanta

// Tag lists and the tag vocabulary shared by the host and every tool.
//
// A tag list is a sequence of (tag word, value) pairs. The top bits of the tag word say what the
// value is: 0x1....... one 32-bit word, 0x18050000 a text, 0x2....... a double. The value slot is
// pointer-sized so that texts and routines fit on 64-bit machines, and each entry is built through
// typed constructors, so an integer literal given for a double tag becomes that double.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <vector>

namespace orvanta {

// A four-character code: the word whose bytes in memory are the four characters in order.
constexpr uint32_t FourCC(const char (&s)[5]) {
  return uint32_t(uint8_t(s[0])) | uint32_t(uint8_t(s[1])) << 8 | uint32_t(uint8_t(s[2])) << 16 |
         uint32_t(uint8_t(s[3])) << 24;
}

enum class TagKind { Word, Text, Double };

constexpr TagKind KindOfTag(uint32_t tag) {
  if ((tag & 0xFFFF0000u) == 0x18050000u) return TagKind::Text;
  if ((tag >> 28) == 0x2u) return TagKind::Double;
  return TagKind::Word;
}

// Registry tags.
inline constexpr uint32_t RegCreate = 0x10000000;
inline constexpr uint32_t RegInitHook = 0x10000001;
inline constexpr uint32_t RegCleanupHook = 0x10000002;
inline constexpr uint32_t RegKind = 0x10000003;
inline constexpr uint32_t RegClassWord = 0x10000005;
inline constexpr uint32_t RegIdentifier = 0x10000006;
inline constexpr uint32_t RegCaption = 0x1000000B;
inline constexpr uint32_t RegDisplayName = 0x1000000C;
inline constexpr uint32_t RegBrand = 0x1000000F;
inline constexpr uint32_t RegBitmapId = 0x10000011;
inline constexpr uint32_t RegHelpText = 0x1000002E;
inline constexpr uint32_t RegVersionText = 0x1000002F;
inline constexpr uint32_t RegCompany = 0x10000030;
inline constexpr uint32_t RegWebAddress = 0x10000032;

// Registry text tags carry a pointer in a word slot; these are the ones whose value is a text.
constexpr bool IsRegistryText(uint32_t tag) {
  return tag == RegIdentifier || tag == RegCaption || tag == RegDisplayName || tag == RegBrand ||
         tag == RegHelpText || tag == RegVersionText || tag == RegCompany || tag == RegWebAddress;
}

// Input tags.
inline constexpr uint32_t InRequired = 0x10030003;
inline constexpr uint32_t InLinkOption = 0x10030005;
inline constexpr uint32_t InControl = 0x10030006;
inline constexpr uint32_t InPreviewControl = 0x10030007;
inline constexpr uint32_t InGroup = 0x10030009;
inline constexpr uint32_t InGroupIndex = 0x1003000A;
inline constexpr uint32_t InListOption = 0x1003000D;
inline constexpr uint32_t InWholeNumbers = 0x10030010;
inline constexpr uint32_t InRangeLow = 0x20030000;
inline constexpr uint32_t InRangeHigh = 0x20030001;
inline constexpr uint32_t InLimitLow = 0x20030002;
inline constexpr uint32_t InLimitHigh = 0x20030003;
inline constexpr uint32_t InDefault = 0x20030004;
inline constexpr uint32_t InGroupLabel = 0x10040001;
inline constexpr uint32_t InRowCount = 0x10040006;
inline constexpr uint32_t InShown = 0x1004000B;
inline constexpr uint32_t InListItem = 0x18050000;

// Image tags (NewImage).
inline constexpr uint32_t ImLike = 0x10000000;
inline constexpr uint32_t ImOwner = 0x10000001;
inline constexpr uint32_t ImWidth = 0x10000002;
inline constexpr uint32_t ImHeight = 0x10000003;
inline constexpr uint32_t ImChannel = 0x10000005;
// This host's own, beyond the two forms: the caller writes every pixel before anything reads
// the image, so the host may hand it over without clearing it. Other hosts may ignore it.
inline constexpr uint32_t ImUncleared = 0x10000100;

// Data types.
inline constexpr uint32_t ImageDataType = FourCC("Imag");
inline constexpr uint32_t NumberDataType = FourCC("Numb");
inline constexpr uint32_t PointDataType = FourCC("Poin");

// Control kinds (values of InControl).
inline constexpr uint32_t ComboControl = FourCC("ComC");
inline constexpr uint32_t ScrollControl = FourCC("ScrC");
inline constexpr uint32_t CheckboxControl = FourCC("ChBC");
inline constexpr uint32_t SliderControl = FourCC("SliC");
inline constexpr uint32_t RangeControl = FourCC("RngC");
inline constexpr uint32_t ColorControl = FourCC("ColC");
inline constexpr uint32_t ImageControl = FourCC("ImgC");
inline constexpr uint32_t OffsetControl = FourCC("OffC");
inline constexpr uint32_t CrosshairControl = FourCC("XHrC");

// Identifiers every tool shares.
inline constexpr uint32_t MainImageId = 0x01706EC9;
inline constexpr uint32_t SecondImageId = 0x02706EC9;
inline constexpr uint32_t ImageOutputId = 0x017475CF;
inline constexpr uint32_t EndMark = FourCC("EndC");

struct Tag {
  uint32_t tag = 0;
  union {
    uintptr_t word;
    const void* ptr;
    const char* text;
    double number;
  };

  Tag() : word(0) {}
  // Integers: a word for word tags, converted for double tags.
  Tag(uint32_t t, long long v) : tag(t) { Assign(double(v), uintptr_t(uint32_t(v))); }
  Tag(uint32_t t, int v) : Tag(t, (long long)v) {}
  Tag(uint32_t t, unsigned v) : Tag(t, (long long)v) {}
  Tag(uint32_t t, long v) : Tag(t, (long long)v) {}
  Tag(uint32_t t, unsigned long v) : Tag(t, (long long)v) {}
  Tag(uint32_t t, double v) : tag(t) { Assign(v, uintptr_t(uint32_t(int64_t(v)))); }
  Tag(uint32_t t, const char* s) : tag(t) { text = s; }
  Tag(uint32_t t, const void* p) : tag(t) { ptr = p; }
  template <class R, class... A>
  Tag(uint32_t t, R (*fn)(A...)) : tag(t) {
    word = reinterpret_cast<uintptr_t>(fn);
  }

  TagKind kind() const { return KindOfTag(tag); }

 private:
  void Assign(double d, uintptr_t w) {
    if (KindOfTag(tag) == TagKind::Double)
      number = d;
    else
      word = w;
  }
};

// A tag list. The closing 0 word of the contract is implied by the end of the vector.
class TagList {
 public:
  TagList() = default;
  TagList(std::initializer_list<Tag> tags) : tags_(tags) {}

  void Add(const Tag& t) { tags_.push_back(t); }
  void Append(const TagList& other) { tags_.insert(tags_.end(), other.begin(), other.end()); }
  const Tag* Find(uint32_t tag) const {
    for (const Tag& t : tags_)
      if (t.tag == tag) return &t;
    return nullptr;
  }
  size_t size() const { return tags_.size(); }
  bool empty() const { return tags_.empty(); }
  const Tag& operator[](size_t i) const { return tags_[i]; }
  std::vector<Tag>::const_iterator begin() const { return tags_.begin(); }
  std::vector<Tag>::const_iterator end() const { return tags_.end(); }

 private:
  std::vector<Tag> tags_;
};

}  // namespace orvanta

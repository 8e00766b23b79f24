// Naming inputs from the command line and parsing their values.
//
// A control is named by its id (four characters such as "SCOH", or hex such as "0x48536100"), by
// its label when that is unique within the tool, or by "PAGE/LABEL" or "GROUP LABEL/LABEL". Values
// are numbers; item text or index for a combo; 0/1/on/off for a checkbox; "X,Y" for a point; and
// "VALUE@FRAME,VALUE@FRAME,..." for keyframes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "orvanta/host/host.h"

namespace orvanta::graph {

// The tool's display name (its registry name when it has none).
std::string ToolName(const host::ClassInfo& cls);
std::string ToolName(const host::Node& node);

// An id as four characters when all four bytes are printable, else as 0xXXXXXXXX.
std::string IdText(uint32_t id);
// "combo", "scroll", ... for the control kind; "image" or "point" for inputs without one.
std::string KindText(const host::ControlDescription& d);
// The group label of the input's group (the alpha member carries none of its own), or "".
std::string GroupLabelOf(const host::Node& node, const Input* in);
// The labels of the node's image inputs, quoted and separated by commas, or "none".
std::string ImageInputList(const host::Node& node);
// The shortest text that reads back as the same double.
std::string NumberText(double v);

// A number or point input of the node by name; throws Failure naming the tool and, for an
// ambiguous name, the candidates.
Input* FindControl(const host::Node& node, std::string_view name);
// An image input by label or id; nullptr when none matches (the caller decides what that means).
Input* FindImageInput(const host::Node& node, std::string_view name);
// The tool's main image input (id 0x01706EC9, else its first image input), or nullptr.
Input* MainImageInput(const host::Node& node);

struct KeyValue {
  double frame = 0.0;
  double x = 0.0, y = 0.0;
};
struct ParsedValue {
  bool animated = false;
  std::vector<KeyValue> keys;  // one when not animated
};
// Parses VALUE for the input and checks it against the control's range and items.
ParsedValue ParseValue(const host::Node& node, const Input* in, std::string_view text);
// One value without keyframes (a number, item, checkbox word or X,Y), checked the same way.
KeyValue ParseSingleValue(const host::Node& node, const Input* in, std::string_view text);

// Sets the input to the parsed value through its set-value path, replacing its keys.
void ApplyValue(Input* in, const ParsedValue& value);
// Sets a keyframe of value at frame through the set-value path: the input becomes animated if it
// was not (its constant dropped), and a key already at that frame is replaced.
void ApplyKeyAt(Input* in, const KeyValue& value, double frame);

// Applies "CONTROL=VALUE" through the input's set-value operation (flag 1, or flag 2 per key), so
// the tool's notifications run. A value replaces any keys the input had.
void ApplySetting(host::Node& node, std::string_view setting);

}  // namespace orvanta::graph

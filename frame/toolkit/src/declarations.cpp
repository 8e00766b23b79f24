// Declaration tables: the shared runs of rows, and the walk that declares them.
#include <stdexcept>
#include <string>

#include "orvanta/skeleton.h"

namespace orvanta {

std::vector<Row> Table(std::initializer_list<TableEntry> entries) {
  std::vector<Row> rows;
  for (const TableEntry& e : entries) rows.insert(rows.end(), e.rows.begin(), e.rows.end());
  return rows;
}

std::vector<Row> ChannelCheckboxRows(Channels channels, const TagList& extra) {
  const int32_t count = channels == Channels::kRgba ? 4 : 3;
  TagList tags{{InControl, CheckboxControl}, {InDefault, 1.0}, {InRowCount, count}};
  tags.Append(extra);
  std::vector<Row> rows = {InputRow("Red", NumberDataType, RedCheckboxId, tags),
                           InputRow("Green", NumberDataType, GreenCheckboxId, tags),
                           InputRow("Blue", NumberDataType, BlueCheckboxId, tags)};
  if (channels == Channels::kRgba) rows.push_back(InputRow("Alpha", NumberDataType, AlphaCheckboxId, tags));
  return rows;
}

std::vector<Row> ColourRows(const char* heading, int32_t group, std::initializer_list<ColourMember> members,
                            const TagList& extra) {
  std::vector<Row> rows;
  int32_t index = 0;
  for (const ColourMember& m : members) {
    TagList tags{{InControl, ColorControl}};
    if (index < 3) tags.Add({InGroupLabel, heading});
    tags.Append({{InGroup, group},
                 {InGroupIndex, index},
                 {InRangeLow, 0.0},
                 {InRangeHigh, 1.0},
                 {InDefault, m.defaultValue}});
    tags.Append(extra);
    rows.push_back(InputRow(m.label, NumberDataType, m.id, std::move(tags)));
    ++index;
  }
  return rows;
}

Output* DeclareRows(Operator* op, const char* tool, const std::vector<Row>& rows, std::span<Input*> inputs) {
  size_t count = 0;
  for (const Row& row : rows) count += row.kind == Row::kInput ? 1 : 0;
  if (count != inputs.size())
    throw std::logic_error(std::string(tool) + " declares " + std::to_string(count) + " inputs for " +
                           std::to_string(inputs.size()) + " input slots");
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

}  // namespace orvanta

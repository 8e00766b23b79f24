// OrvantaLineDrop loaded as a plug-in: its declarations as the host parsed them, and the row
// patterns it keeps in both orders and both pixel forms.
#include "support.h"

namespace orvanta {
namespace {

constexpr uint32_t kOrder = FourCC("SCOH"), kShow = FourCC("BSCH"), kCrop = FourCC("CSCH");

std::unique_ptr<host::Node> Node() { return testing::MakeNode("OrvantaLineDrop"); }

struct Case {
  int32_t height, show, crop, order;
  std::vector<int32_t> rows;  // input row for each output row, -1 = not written
};

void ExpectRows(uint32_t depth, const Case& c) {
  auto node = Node();
  testing::Set(*node, kShow, c.show);
  testing::Set(*node, kCrop, c.crop);
  testing::Set(*node, kOrder, c.order);
  auto input = testing::Numbered(7, c.height, depth);
  host::Connect(node->FindInput(MainImageId), input.get());
  // Memory the output is made from holds 0xA5 bytes, so a row left unwritten would show.
  auto out = testing::WithPoisonedImages([&] { return testing::RenderOk(*node); });
  ASSERT_TRUE(out);
  ASSERT_EQ(out->Width, 7);
  ASSERT_EQ(out->Height, int32_t(c.rows.size()));
  EXPECT_EQ(out->Depth, depth);
  auto blank = host::MakeImage(7, 1, depth);
  for (size_t r = 0; r < c.rows.size(); ++r) {
    if (c.rows[r] < 0)
      EXPECT_TRUE(testing::SameRow(out.get(), int32_t(r), blank.get(), 0))
          << "row " << r << " should be clear";
    else
      EXPECT_TRUE(testing::SameRow(out.get(), int32_t(r), input.get(), c.rows[r]))
          << "output row " << r << " should be input row " << c.rows[r];
  }
}

TEST(LineDropRender, RowPatternsInBothOrdersAndPixelForms) {
  std::vector<int32_t> even, odd;
  for (int32_t r = 0; r < 240; ++r) {
    even.push_back(2 * r);
    odd.push_back(2 * r + 1);
  }
  const std::vector<Case> cases = {
      {480, 1, 1, 0, even},     {480, 1, 1, 1, odd},        {5, 1, 1, 0, {0, 2, 4}},
      {5, 1, 1, 1, {1, 3, -1}},  // the incomplete last cycle leaves the last row clear
      {4, 2, 1, 0, {0, 1, 3}},  {7, 2, 3, 0, {0, 1, 5, 6}}, {7, 2, 3, 1, {3, 4, -1, -1}},
      {1, 1, 1, 1, {-1}},
  };
  for (uint32_t depth : {Depth16, DepthFloat, Depth8})
    for (const Case& c : cases) {
      SCOPED_TRACE(::testing::Message() << "depth " << depth << " H " << c.height << " S " << c.show << " C "
                                        << c.crop << " order " << c.order);
      ExpectRows(depth, c);
    }
}

// Rows are copied as bytes between images of one host format, and pixel by pixel through the
// access routines otherwise; both give the same picture.
TEST(LineDropRender, ForeignImageModelGivesTheSamePicture) {
  for (uint32_t depth : {Depth8, Depth16, DepthFloat}) {
    auto node = Node();
    testing::Set(*node, kShow, 2);
    auto native = testing::Numbered(13, 17, depth);
    auto foreign = testing::CustomStorageCopy(native.get());
    host::Connect(node->FindInput(MainImageId), native.get());
    auto a = testing::RenderOk(*node);
    host::Connect(node->FindInput(MainImageId), foreign.get());
    auto b = testing::RenderOk(*node);
    EXPECT_TRUE(testing::SameBytes(a.get(), b.get())) << depth;
  }
}

// Kept rows of a host image are the input's own rows; the output keeps them after the input is
// gone, as a sequence frees each frame's input before the next.
TEST(LineDropRender, KeptRowsAreSharedAndOutliveTheInput) {
  for (uint32_t depth : {Depth8, Depth16, DepthFloat}) {
    auto node = Node();
    testing::Set(*node, kShow, 2);
    testing::Set(*node, kCrop, 3);
    auto input = testing::Numbered(6, 12, depth);
    auto expected = testing::Numbered(6, 12, depth);
    host::Connect(node->FindInput(MainImageId), input.get());
    auto out = testing::WithPoisonedImages([&] { return testing::RenderOk(*node); });
    ASSERT_EQ(out->Height, 6);  // rows 0, 1, 5, 6, 10, 11
    EXPECT_EQ(out->RowTable[2], input->RowTable[5]);
    host::Disconnect(node->FindInput(MainImageId));
    input.reset();
    const int32_t rows[] = {0, 1, 5, 6, 10, 11};
    for (int32_t r = 0; r < 6; ++r)
      EXPECT_TRUE(testing::SameRow(out.get(), r, expected.get(), rows[r]))
          << "depth " << depth << " row " << r;
  }
}

TEST(LineDropRender, FloatPassesThroughWithoutQuantising) {
  auto node = Node();
  auto input = host::MakeImage(2, 2, DepthFloat);
  input->SetPixel(1, 0, FltPixel{1.75f, -0.25f, 0.1234567f, 3.0f});
  host::Connect(node->FindInput(MainImageId), input.get());
  auto out = testing::RenderOk(*node);
  ASSERT_EQ(out->Height, 1);
  EXPECT_EQ(out->Depth, DepthFloat);
  EXPECT_EQ(testing::AtFlt(out.get(), 1, 0), (FltPixel{1.75f, -0.25f, 0.1234567f, 3.0f}));
}

TEST(LineDropRender, SameBytesOnEveryRunAndEmptyInputs) {
  auto node = Node();
  testing::Set(*node, kShow, 2);
  testing::Set(*node, kCrop, 3);
  auto input = testing::Numbered(9, 11, Depth16);
  host::Connect(node->FindInput(MainImageId), input.get());
  auto a = testing::RenderOk(*node);
  auto b = testing::RenderOk(*node);
  EXPECT_TRUE(testing::SameBytes(a.get(), b.get()));
  auto empty = host::MakeImage(0, 0, Depth16);
  host::Connect(node->FindInput(MainImageId), empty.get());
  auto none = testing::RenderOk(*node);
  EXPECT_EQ(none->Width, 0);
  EXPECT_EQ(none->Height, 0);
  // Counts that the controls cannot give (driven from elsewhere) still render.
  testing::Set(*node, kShow, 0.0);
  testing::Set(*node, kCrop, -1e300);
  host::Connect(node->FindInput(MainImageId), input.get());
  EXPECT_TRUE(node->Render(0).ok());
}

}  // namespace
}  // namespace orvanta

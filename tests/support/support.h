// Shared test helpers: load a built plug-in through the host loader, make small images, read
// pixels back.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "orvanta/host/host.h"

namespace orvanta::testing {

// Loads build/lib/<library>.so (once per process) and returns its class; fails the test when it
// does not load.
const host::ClassInfo& LoadTool(const std::string& library);

// A node of the tool with its inputs reachable by id.
std::unique_ptr<host::Node> MakeNode(const std::string& library);

// Sets a number control through the set-value path (notifications run).
void Set(host::Node& node, uint32_t id, double value, double time = 0.0);
double Get(host::Node& node, uint32_t id, double time = 0.0);
bool Shown(host::Node& node, uint32_t id);

// A w x h image of depth with every pixel p (16-bit values; for float images value / 65535).
host::ImagePtr Flat(int32_t w, int32_t h, uint32_t depth, Pixel p);
// A w x h image whose pixel (x, y) has B = x, G = y, R = x + y * w, A = 65535 (16-bit), or the
// same divided by 65535 for float images.
host::ImagePtr Numbered(int32_t w, int32_t h, uint32_t depth);

// Every value a channel can hold, in every channel: for integer depths a 256 x 256 image whose
// pixel i (row-major) stores the word i in blue, and the words 65535 - i, i * 7 and i * 13 (mod
// 65536) in green, red and alpha (8-bit images store what those words become); for float images
// the same words / 65535 followed by values no word gives: signed zeros, NaN, infinities,
// denormals, values beyond 0..1 and the neighbours of 0.25, 0.5 and 0.75.
host::ImagePtr EveryValue(uint32_t depth);

// A copy of im that keeps its bytes and access routines but does not say which host storage
// format it is, so tools take their general cursor path on it.
host::ImagePtr CustomStorageCopy(const Image* im);

Pixel At(const Image* im, int32_t x, int32_t y);
FltPixel AtFlt(const Image* im, int32_t x, int32_t y);
bool SameBytes(const Image* a, const Image* b);
// Rows a and b of the two images hold the same bytes.
bool SameRow(const Image* a, int32_t ya, const Image* b, int32_t yb);

// An OpenColorIO configuration whose one display "screen" has one view "gamma": scene-linear
// values through a 2.2 gamma.
extern const char* const kGammaViewOcio;

// Renders at time 0, failing the test on error.
host::ImagePtr RenderOk(host::Node& node, double time = 0.0);

// Connects input to the node's main image input and renders at time 0, failing the test on
// error.
host::ImagePtr RenderOn(host::Node& node, Image* input);

// One change of a number control.
struct ControlStep {
  uint32_t id;
  double value;
};

// Applies the steps one by one to one node of the tool and, after each, checks that its render
// of input has the bytes of a new node's with the steps so far (state a node keeps between
// requests must follow the controls).
void ExpectRendersLikeNewNodes(const std::string& library, const std::vector<ControlStep>& steps,
                               Image* input);

// Runs fn with images made without clearing filled with 0xA5 first, then turns that off.
template <class F>
auto WithPoisonedImages(F fn) {
  host::testing::PoisonUnclearedImages(true);
  auto r = fn();
  host::testing::PoisonUnclearedImages(false);
  return r;
}

// Runs fn with the worker pool at n threads, then restores the default.
template <class F>
auto WithThreads(int32_t n, F fn) {
  host::SetThreadCount(n);
  auto r = fn();
  host::SetThreadCount(0);
  return r;
}

}  // namespace orvanta::testing

namespace orvanta {
std::ostream& operator<<(std::ostream& os, const Pixel& p);
std::ostream& operator<<(std::ostream& os, const FltPixel& p);
}  // namespace orvanta

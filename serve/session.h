// The browser host's state: one graph, the file it is saved to, the frame range, the viewer, and
// every operation of the JSON API (describe, set, render, edit, save). No sockets here: the
// server (server.cpp) calls these under one lock, and the tests call them directly.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "history.h"
#include "orvanta/graph/describe.h"
#include "orvanta/graph/edits.h"
#include "orvanta/graph/graph.h"
#include "orvanta/io/files.h"
#include "orvanta/io/view.h"
#include "timeline.h"

namespace orvanta::serve {

using Json = graph::Json;

// What the command line gives: a composition file, or a tool with its inputs (-i, for the tool's
// node only), and -s and -x for either (edits.h).
struct StartOptions : graph::GraphEdits {
  std::string comp;    // graph.json (or a binary composition)
  std::string tool;    // or a tool for a one-node graph
  std::string save;    // where saving writes (default: comp, else composition.json)
  std::string frames;  // frame range of the slider, e.g. "1-50"
  // The file pictures kept between previews (those no longer connected are forgotten first).
  size_t fileCacheBytes = size_t(512) << 20;
};

// How a preview travels to the page. Png: a PNG file (at full scale of 8/16-bit footage the
// bytes the command writes). Rgba8: the canvas's own layout, width * height * 4 bytes R, G, B, A,
// rows top to bottom, 8 bits per sample, alpha as the picture holds it: nothing to encode or
// decode, for a local page that shows a new picture per control change.
enum class PreviewFormat { Png, Rgba8 };

struct PreviewOptions {
  PreviewFormat format = PreviewFormat::Png;
  io::ViewAdjust view;  // exposure and gamma of float pictures
  bool opaque = false;  // Rgba8 with the alpha set to full: for a view of the colour alone
};

// A rendered preview and how it was made.
struct Preview {
  std::vector<uint8_t> bytes;  // in the format asked for
  int32_t width = 0, height = 0;
  uint32_t depth = 0;                     // the picture's own sample depth (Depth8, Depth16, DepthFloat)
  bool viewTransformed = false;           // float picture shown through the view transform
  double renderMs = 0.0, encodeMs = 0.0;  // the graph's render; the view transform and encoding
  uint64_t revision = 0;                  // State()'s revision the picture belongs to
};

class Session {
 public:
  // Builds the graph; throws Failure for a bad option, as the command would.
  explicit Session(const StartOptions& options);
  ~Session();

  // Everything the page shows: tools that can be added, the nodes with their controls page by
  // page (declarations, values at the current frame, driven ones included, keyframes, links,
  // expressions) and their positions, the viewed node, the timeline (frames, rate and where they
  // came from), the save path, the view transform, the revision and what can be undone.
  Json State() const;

  // {node, control, value} sets through the same path as -s; {node, control, expression} as -x
  // ("" clears it); {node, settings: [{control, value}, ...]} sets several in order (a colour).
  // node "@scope" addresses the viewer scope. Returns State(): presets change what is shown.
  // Throws Failure with a sentence for the page; what was set before the fault stays set.
  Json Set(const Json& request);

  // Graph edits; each returns State() or throws Failure.
  Json AddNode(const Json& request);     // {tool, name?, position?: [x, y]}
  Json RemoveNode(const Json& request);  // {node}
  // {node, input, source} (a node's name) or {.., file}. Files are connected only from the
  // composition's folder, the save path's, the folders its files used when it started and the
  // working folder; any other path gets the same refusal whether or not it exists.
  Json Connect(const Json& request);
  Json Disconnect(const Json& request);  // {node, input}
  Json View(const Json& request);        // {node?, frame?, scope?}: what the preview shows
  // Writes the graph to the save path through io::SaveCompositionFile; returns {saved: path}.
  Json Save();

  // Editing (session_edit.cpp); each returns State() or throws Failure, changing nothing.
  // {node, control, frame?, remove?}: sets a keyframe of the control's value at the frame (default
  // the current one), or removes the keyframe there; the last one removed leaves its value.
  Json Key(const Json& request);
  Json Rename(const Json& request);  // {node, name}
  // {positions: {NODE: [x, y], ...}}: where the node editor drew the nodes; saved with the graph.
  Json Move(const Json& request);
  // Every change of the graph (values, keys, expressions, nodes, links, names, positions, the
  // output) can be taken back and made again; a new change drops what was taken back. Changes of
  // one gesture (a slider dragged) sent with the same {group} are one step.
  Json Undo(const Json& request);
  Json Redo(const Json& request);

  // The node at frame, its file inputs shrunk by scale (0 < scale <= 1; 1 renders exactly what
  // the command renders), in the format asked for: 8/16-bit pictures as they are (Rgba8 rounds
  // 16-bit samples to 8 bits), float ones through the view transform. With the scope on, the
  // scope's picture of that node. The picture itself is kept for Pixel. Throws Failure.
  Preview Render(const std::string& node, int32_t frame, double scale, const PreviewOptions& options);
  Preview Render(const std::string& node, int32_t frame, double scale) {
    return Render(node, frame, scale, PreviewOptions{});
  }
  // The exact samples of the pixel (x, y) of that picture (rendered again unless kept):
  // {x, y, width, height, depth: "8-bit" | "16-bit" | "float", rgba: [R, G, B, A]} in the
  // picture's own units (0..255, 0..65535, or floats). Throws Failure outside the picture.
  Json Pixel(const std::string& node, int32_t frame, double scale, int32_t x, int32_t y);

  const graph::Graph& Graph() const { return graph_; }
  // The bytes of the file pictures kept now.
  size_t FileCacheBytes() const { return files_.Bytes(); }
  const std::string& SavePath() const { return savePath_; }

 private:
  class ScaledFiles;
  // A picture as rendered, kept for the pixel readout.
  struct Held {
    std::string node;
    int32_t frame = 0;
    double scale = 1.0;
    uint64_t revision = 0;
    bool scope = false;
    host::ImagePtr image;
  };
  // Made at the start of a change: notes the graph, and at the end, when the change (or its
  // failure midway) left the graph different, keeps it for Undo, counts the revision and finds the
  // timeline again. Never throws from its end.
  class Recorder {
   public:
    Recorder(Session& session, const Json& request, bool changesPictures = true);
    // Records the change now (once) and returns the session's new state.
    Json Finish();
    ~Recorder();
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

   private:
    void Record();
    Session& s_;
    std::string before_, group_;
    bool pictures_, done_ = false;
  };
  std::string Snapshot() const;
  void UpdateTimeline();
  graph::GraphNode& NodeOf(const Json& request, const char* key = "node") const;
  Json DescribeWithValues(const graph::GraphNode* gn, const host::Node& node) const;
  void SetOne(graph::GraphNode* gn, host::Node& node, const std::string& control, const Json& value);
  void Restore(const std::string& snapshot);
  // [x, y] of a node's box; throws Failure naming the node otherwise.
  static graph::Position PositionFrom(const Json& xy, const std::string& node);
  // The picture of the node (the scope's when on), checked and rendered; renderMs gets the time.
  host::ImagePtr RenderPicture(const std::string& node, int32_t frame, double scale, double& renderMs);
  // Refuses a file outside the folders files may be connected from (Connect).
  void CheckConnectable(const std::string& path) const;
  // Keeps the file pictures within their bound, before a render.
  void TrimFiles();
  // Keeps the picture for Pixel, the oldest kept one dropped; returns it.
  const Image& Hold(const std::string& node, int32_t frame, double scale, host::ImagePtr image);

  graph::Graph graph_;
  std::string savePath_;
  int32_t frame_ = 1;
  std::string viewed_;
  bool scopeOn_ = false;
  std::unique_ptr<host::Node> scope_;  // the viewer scope, outside the graph (not saved)
  io::FileCache files_;
  size_t fileCacheBytes_;
  std::vector<std::filesystem::path> fileFolders_;  // where files may be connected from
  std::unique_ptr<ScaledFiles> proxy_;              // the file pictures shrunk for the last proxy scale
  std::unique_ptr<io::ViewTransform> view_;
  std::string framesOption_;  // --frames: the timeline as given
  SequenceFrames sequences_;
  Timeline timeline_;
  History history_;
  uint64_t revision_ = 1;   // counts changes that may change a picture
  std::vector<Held> held_;  // the pictures last rendered, newest first (a few: A and B of a wipe)
};

// The text of a JSON value given for a control: numbers as the shortest exact text, strings as
// they are, [x, y] as "X,Y", true/false as on/off. Throws Failure for anything else.
std::string ValueText(const Json& value);

}  // namespace orvanta::serve

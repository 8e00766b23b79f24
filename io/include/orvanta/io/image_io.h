// Image files through OpenImageIO: reading into host images (channel order, depths, grey and
// alpha-less files) with the header the file carries (header.h), and writing them atomically with
// that header: attributes, windows, channels, sample type, compression and alpha convention.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "orvanta/host/host.h"
#include "orvanta/io/header.h"

namespace orvanta::io {

class ColourPlan;

// Sample format of a written file: as stored in the main input (else the image's own), or one the
// user asked for (10 and 12 bits where the format holds them: DPX, TIFF).
enum class Bits { Keep, U8, U10, U12, U16, Half, Float };
// "8", "10", "12", "16", "half", "float"; throws Failure otherwise.
Bits ParseBits(std::string_view text);

// Reads a file (its first picture) into a new image: 8-bit files
// as 8-bit images, other integer files as 16-bit, half and float files as float. Grey files fill
// blue, green and red; files without alpha get alpha at full scale. Throws Failure.
host::ImagePtr ReadImage(const std::string& path);

// How a picture is read: which part of a multi-part file (its name or index; "" the first), and
// the colour plan that converts it into the working space (none: as stored).
struct ReadOptions {
  std::string part;
  std::shared_ptr<const ColourPlan> colour;
};
// The picture as ReadImage reads it (the data window is the picture), with the file's header and
// the samples of its extra channels. Throws Failure (also for a part the file does not have).
struct Picture {
  host::ImagePtr image;
  HeaderPtr header;
};
Picture ReadPicture(const std::string& path, const ReadOptions& options = {});

// Refuses, before anything opens it, a path that is missing or is not a regular file (a folder,
// a device such as /dev/zero, a pipe or a socket, which would block or never end): throws Failure
// "cannot read PATH: ...", with kind ("an image file", "a movie") naming what was expected. Links
// are followed. Every file input of io/ passes here first. Any thread.
void CheckInputFile(const std::string& path, const std::string& kind);

// What the file meant to hold a rendered picture holds: nothing, a damaged picture (it does not
// open, or some of its pixels do not read back: a truncated file), or a whole one.
enum class FileState { Missing, Damaged, Complete };
// Opens the file and reads every pixel of its first picture; why (when given) says what is wrong
// with a missing or damaged file. Never throws for the file itself.
FileState CheckImageFile(const std::string& path, std::string* why = nullptr);

// Checks before any work that path names a format that can be written and a folder that exists
// and is writable; throws Failure otherwise.
void CheckWritable(const std::string& path);
// The part of that check every output shares: the folder exists and is writable, and path is not
// a folder. Throws Failure.
void CheckWritablePlace(const std::string& path);

// Writes the image to path through a temporary file in the same folder and a rename, so the
// final name never holds a partial file. With Bits::Keep the file holds the image's own sample
// format; a format that cannot hold it is refused. Throws Failure.
void WriteImage(const Image& image, const std::string& path, Bits bits = Bits::Keep);

// Which convention the written colour follows: the output format's (converting once when the
// picture's is the other), or premultiplied or straight whatever the format.
enum class AlphaChoice { Format, Premultiply, Unpremultiply };

// How a result is written beside the header of the main input it came from.
struct WriteOptions {
  Bits bits = Bits::Keep;
  std::string compression;            // "" keeps the input's (else the format's default)
  std::vector<std::string> channels;  // the channels to write, by name; empty: as the input
  AlphaChoice alpha = AlphaChoice::Format;
  bool resultMakesAlpha = false;  // the tool's result has an alpha of its own (RGB in, RGBA out)
  std::shared_ptr<const ColourPlan> colour;
};

// Whether a tool's result has an alpha of its own, so that an input without alpha still has one
// written (by the tool's display name): Raster (its scanline colours carry an alpha), Billboard
// (cells on a clear ground), Mosaic (the tiles' alpha) and Scope (traces on a clear ground).
bool ToolMakesAlpha(const std::string& tool);

// Writes a result as WriteImage does, keeping what the main input's header carries (null for a
// picture made in memory): its attributes; its windows, extra channels and other parts when the
// result has its size (else the result at the origin, and a note naming the channels dropped);
// its colour channels (RGB stays RGB, grey grey), sample type and compression; its alpha
// convention, converted once where the output format's differs. Notes for the user are added to
// notes. Throws Failure before writing anything for options the format cannot hold.
void WritePicture(const Image& image, const FileHeader* header, const std::string& path,
                  const WriteOptions& options, std::vector<std::string>* notes = nullptr);

// Checks the options against the output's format before any work: bits, compression and the
// channels asked for. Throws Failure.
void CheckWriteOptions(const std::string& path, const WriteOptions& options);

// The image as PNG bytes in memory, 8 or 16 bits as the image holds them, with alpha. Exact: the
// same bytes WriteImage puts in a .png file. Fast: the least compression, several times quicker,
// for pictures that are only looked at. Float images need a view transform first (view.h).
// Throws Failure.
enum class PngSpeed { Exact, Fast };
std::vector<uint8_t> EncodePng(const Image& image, PngSpeed speed = PngSpeed::Exact);

// From now on every file is decoded and encoded whole on the thread that reads or writes it,
// without the image library's own pool of threads: for renders that read and write several files
// at once on threads of their own, where handing each block of rows to a pool only adds waiting.
void CodeFilesOnCallingThreads();

// SIGINT and SIGTERM remove the temporary files being written, then end the process.
void InstallSignalCleanup();
// A temporary file that the signal handler removes (every AtomicFile registers its own).
// Returns its slot for ClearPendingFile, -1 when none is free (the file is then not removed).
// Any thread.
int SetPendingFile(const std::string& path);
void ClearPendingFile(int slot);

}  // namespace orvanta::io

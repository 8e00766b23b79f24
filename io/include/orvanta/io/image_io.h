// Image files through OpenImageIO: reading into host images (channel order, depths, grey and
// alpha-less files) and writing them atomically in the depth asked for.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "orvanta/host/host.h"

namespace orvanta::io {

// Sample format of a written file: the image's own, or one the user asked for.
enum class Bits { Keep, U8, U16, Half, Float };
// "8", "16", "half", "float"; throws Failure otherwise.
Bits ParseBits(std::string_view text);

// Reads a file (its first picture) into a new image: 8-bit files
// as 8-bit images, other integer files as 16-bit, half and float files as float. Grey files fill
// blue, green and red; files without alpha get alpha at full scale. Throws Failure.
host::ImagePtr ReadImage(const std::string& path);

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

// SIGINT and SIGTERM remove a temporary file being written, then end the process.
void InstallSignalCleanup();
// A temporary file that the signal handler removes (the host's composition writes use one).
void SetPendingFile(const std::string& path);
void ClearPendingFile();

}  // namespace orvanta::io

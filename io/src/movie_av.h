// The FFmpeg libraries as the movie reader and writer use them.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libavutil/timecode.h>
#include <libswscale/swscale.h>
}

#include <string>

namespace orvanta::io {

// Pictures taller than this are HD: their YUV matrix is BT.709 unless the file says otherwise,
// smaller ones BT.601.
constexpr int kSdRows = 576;

// An FFmpeg error code as words, starting lower case to follow "cannot read PATH: ".
std::string AvError(int code);
std::string Lower(std::string s);
// The libraries' own log stays off the terminal; their errors reach us as codes.
void QuietAvLog();

}  // namespace orvanta::io

// Sounds and images that the resource compiler makes from a few parameters, so the
// resource files need no binary sources.
#pragma once

#include <string>
#include <vector>

#include "framework/types.h"

namespace cv::RezSynth {

// A short mono 16-bit PCM RIFF WAVE. kind: chime (f1 then f2), beep (f1), sweep (f1 to
// f2), click, knock. Raises nothing; unknown kinds return empty and set error.
Bytes Sound(const std::string& kind, const std::vector<double>& params, std::string& error);

// A 32 x 32 RGBA PNG icon of a named shape in a colour (0xRRGGBB).
Bytes Icon(const std::string& shape, Uint32 colour, int size, std::string& error);

// A picture: "start" is the whiteboard's start picture.
Bytes Picture(const std::string& kind, int width, int height, std::string& error);

// An RGBA image as PNG (deflate with fixed codes).
Bytes EncodePng(const std::vector<Uint8>& rgba, int width, int height);

}  // namespace cv::RezSynth

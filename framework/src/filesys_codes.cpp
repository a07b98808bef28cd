// Type and creator codes. The host keeps none, so they come from the name's extension.
#include <cctype>

#include "framework/filesys.h"

namespace cv::UFileSys {
namespace {

struct SCodes {
  const char* ext;
  Uint32 type;
  Uint32 creator;
};

constexpr SCodes kCodes[] = {
    {"BMP", FourCC("BMP "), FourCC("GKON")}, {"C", FourCC("TEXT"), FourCC("CWIE")},
    {"CP", FourCC("TEXT"), FourCC("CWIE")},  {"CPP", FourCC("TEXT"), FourCC("CWIE")},
    {"H", FourCC("TEXT"), FourCC("CWIE")},   {"HPP", FourCC("TEXT"), FourCC("CWIE")},
    {"DAT", FourCC("BINA"), FourCC("hDmp")}, {"DOC", FourCC("W6BN"), FourCC("MSWD")},
    {"EXE", FourCC("DEXE"), FourCC("CWIE")}, {"GIF", FourCC("GIFf"), FourCC("GKON")},
    {"CBM", FourCC("CVbm"), FourCC("CVCL")}, {"CPF", FourCC("CVft"), FourCC("CVCL")},
    {"JPG", FourCC("JPEG"), FourCC("GKON")}, {"MOV", FourCC("MooV"), FourCC("TVOD")},
    {"MP3", FourCC("MP3 "), FourCC("MAmp")}, {"MPG", FourCC("MPG "), FourCC("TVOD")},
    {"SIT", FourCC("SITD"), FourCC("SIT!")}, {"TIF", FourCC("TIFF"), FourCC("GKON")},
    {"TXT", FourCC("TEXT"), FourCC("ttxt")}, {"WAV", FourCC("WAVE"), FourCC("TVOD")},
    {"ZIP", FourCC("ZIP "), FourCC("ZIP ")},
};

}  // namespace

void TypeAndCreatorFromName(std::string_view name, Uint32& type, Uint32& creator) {
  type = FourCC("BINA");
  creator = FourCC("dosa");
  const auto slash = name.rfind('/');
  if (slash != std::string_view::npos) name.remove_prefix(slash + 1);
  const auto dot = name.rfind('.');
  if (dot == std::string_view::npos) return;
  std::string_view ext = name.substr(dot + 1);
  if (ext.size() > 15) ext = ext.substr(0, 15);
  if (ext.empty() || ext.size() > 3) return;
  for (const auto& c : kCodes) {
    const std::string_view e(c.ext);
    if (e.size() != ext.size()) continue;
    bool same = true;
    for (std::size_t i = 0; i < e.size(); ++i)
      if (std::toupper(static_cast<unsigned char>(ext[i])) != e[i]) same = false;
    if (same) {
      type = c.type;
      creator = c.creator;
      return;
    }
  }
}

}  // namespace cv::UFileSys

// corvane-rez: compiles a resource manifest into a resource file, or lists one.
//   corvane-rez -o out.dat manifest.rez
//   corvane-rez --list file.dat
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "framework/errors.h"
#include "framework/resources.h"

using namespace cv;

namespace {

int Usage() {
  std::fprintf(stderr, "usage: corvane-rez -o OUTPUT MANIFEST\n       corvane-rez --list FILE\n");
  return 2;
}

int List(const std::string& path) {
  TRezFile f = URez::OpenFile(path);
  for (Uint32 type : URez::Types(f))
    for (Uint32 id : URez::Ids(f, type))
      std::printf("'%s' %u: %u bytes\n", FourCCText(type).c_str(), id, *URez::ItemSize(f, type, id));
  URez::Dispose(f);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string output, input;
  try {
    for (int i = 1; i < argc; ++i) {
      const std::string a = argv[i];
      if (a == "--list" && i + 1 < argc) return List(argv[i + 1]);
      if (a == "-o" && i + 1 < argc)
        output = argv[++i];
      else if (!a.empty() && a[0] != '-' && input.empty())
        input = a;
      else
        return Usage();
    }
    if (output.empty() || input.empty()) return Usage();

    std::ifstream in(input, std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "corvane-rez: cannot read %s\n", input.c_str());
      return 1;
    }
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto slash = input.rfind('/');
    const std::string base = slash == std::string::npos ? "." : input.substr(0, slash);
    std::string why;
    Bytes image;
    try {
      image = URez::CompileManifest(text, base, &why);
    } catch (const SError& e) {
      std::fprintf(stderr, "%s:%s\n", input.c_str(), why.empty() ? UError::IdText(e).c_str() : why.c_str());
      return 1;
    }
    // Written beside the target and renamed, so a failed build never leaves half a file.
    const std::string temp = output + ".tmp";
    {
      std::ofstream out(temp, std::ios::binary | std::ios::trunc);
      out.write(reinterpret_cast<const char*>(image.data()), std::streamsize(image.size()));
      if (!out) {
        std::fprintf(stderr, "corvane-rez: cannot write %s\n", temp.c_str());
        return 1;
      }
    }
    if (std::rename(temp.c_str(), output.c_str()) != 0) {
      std::perror("corvane-rez: rename");
      return 1;
    }
    return 0;
  } catch (const SError& e) {
    std::fprintf(stderr, "corvane-rez: %s (%s)\n", UError::MessageText(e).c_str(), UError::IdText(e).c_str());
    return 1;
  }
}

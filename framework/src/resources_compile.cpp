// The resource compiler: a line-oriented manifest into a resource file image.
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>

#include "framework/errors.h"
#include "framework/resources.h"
#include "framework/src/resources_synth.h"
#include "framework/text.h"

namespace cv::URez {

namespace {

struct Token {
  enum Kind { word, string, type } kind;
  std::string text;  // strings: Mac OS Roman bytes
};

struct Failure {
  std::string message;
};

[[noreturn]] void Fail(std::string message) { throw Failure{std::move(message)}; }

// Splits a line; strings take \r \n \t \\ \" and \xNN (a raw byte), the rest is UTF-8
// turned into Mac OS Roman.
std::vector<Token> Tokenize(std::string_view line) {
  std::vector<Token> out;
  std::size_t i = 0;
  while (i < line.size()) {
    const char c = line[i];
    if (c == ' ' || c == '\t' || c == '\r') {
      ++i;
    } else if (c == '#') {
      break;
    } else if (c == '"') {
      std::string bytes, run;
      auto flush = [&] {
        std::string converted;
        std::size_t bad = 0;
        if (!UText::Utf8ToMacRomanStrict(run, converted, &bad))
          Fail("character without a Mac OS Roman byte in \"" + run + "\"");
        bytes += converted;
        run.clear();
      };
      ++i;
      for (;;) {
        if (i >= line.size()) Fail("unterminated string");
        const char d = line[i++];
        if (d == '"') break;
        if (d != '\\') {
          run.push_back(d);
          continue;
        }
        if (i >= line.size()) Fail("unterminated string");
        const char e = line[i++];
        switch (e) {
          case 'r':
            run.push_back('\r');
            break;
          case 'n':
            run.push_back('\n');
            break;
          case 't':
            run.push_back('\t');
            break;
          case '\\':
          case '"':
            run.push_back(e);
            break;
          case 'x': {
            if (i + 2 > line.size() || !std::isxdigit(Uint8(line[i])) || !std::isxdigit(Uint8(line[i + 1])))
              Fail("\\x needs two hex digits");
            flush();
            bytes.push_back(char(std::strtoul(std::string(line.substr(i, 2)).c_str(), nullptr, 16)));
            i += 2;
            break;
          }
          default:
            Fail(std::string("unknown escape \\") + e);
        }
      }
      flush();
      out.push_back({Token::string, bytes});
    } else if (c == '\'') {
      if (i + 5 >= line.size() || line[i + 5] != '\'') Fail("type codes are 'XXXX'");
      out.push_back({Token::type, std::string(line.substr(i + 1, 4))});
      i += 6;
    } else {
      const std::size_t b = i;
      while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '"' && line[i] != '#' &&
             line[i] != '\r')
        ++i;
      out.push_back({Token::word, std::string(line.substr(b, i - b))});
    }
  }
  return out;
}

Uint64 Number(const Token& t, Uint64 max) {
  if (t.kind != Token::word || t.text.empty()) Fail("number expected");
  char* end = nullptr;
  errno = 0;
  const unsigned long long v = std::strtoull(t.text.c_str(), &end, 0);
  if (*end || errno || v > max || t.text[0] == '-') Fail("bad number \"" + t.text + "\"");
  return v;
}

double Real(const Token& t) {
  if (t.kind != Token::word) Fail("number expected");
  char* end = nullptr;
  const double v = std::strtod(t.text.c_str(), &end);
  if (*end) Fail("bad number \"" + t.text + "\"");
  return v;
}

const std::string& Str(const Token& t) {
  if (t.kind != Token::string) Fail("string expected");
  return t.text;
}

Bytes ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) Fail("cannot read \"" + path + "\"");
  std::string s((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return Bytes(reinterpret_cast<const Uint8*>(s.data()), s.size());
}

struct Pending {
  bool open = false;
  Uint32 type = 0, id = 0, flags = 0;
  Bytes data;
  std::vector<std::pair<Uint32, std::string>> items;
  std::set<Uint32> itemIds;
};

struct Compiler {
  TRezFile file = nullptr;
  std::set<std::pair<Uint32, Uint32>> seen;
  Pending cur;
  std::string where;  // "name:line" of the line being read

  void Run(std::string_view manifest, const std::string& baseDir, const std::string& name, int depth);
  void Line(const std::vector<Token>& t, const std::string& baseDir, int depth);
};

void Compiler::Run(std::string_view manifest, const std::string& baseDir, const std::string& name, int depth) {
  std::size_t at = 0, lineNo = 0;
  while (at <= manifest.size()) {
    std::size_t nl = manifest.find('\n', at);
    if (nl == std::string_view::npos) nl = manifest.size();
    const std::string_view line = manifest.substr(at, nl - at);
    at = nl + 1;
    ++lineNo;
    where = name + ":" + std::to_string(lineNo);
    const std::vector<Token> t = Tokenize(line);
    if (!t.empty()) Line(t, baseDir, depth);
  }
}

void Compiler::Line(const std::vector<Token>& t, const std::string& baseDir, int depth) {
  if (t[0].kind != Token::word) Fail("a line starts with a keyword");
  const std::string& kw = t[0].text;
  auto need = [&](std::size_t n) {
    if (t.size() < n) Fail("\"" + kw + "\" needs more arguments");
  };
  if (kw == "include") {
    need(2);
    if (cur.open) Fail("\"include\" inside a resource");
    if (depth >= 8) Fail("includes nested too deeply");
    std::string path = UText::MacRomanToUtf8(Str(t[1]));
    if (path.empty() || path[0] != '/') path = baseDir + "/" + path;
    const Bytes text = ReadWholeFile(path);
    const auto slash = path.rfind('/');
    const std::string saved = where;
    Run(std::string_view(reinterpret_cast<const char*>(text.data()), text.size()), path.substr(0, slash), path,
        depth + 1);
    if (cur.open) Fail("\"end\" missing at the end of " + path);
    where = saved;
    return;
  }
  if (kw == "resource") {
    if (cur.open) Fail("\"end\" missing before the next resource");
    need(3);
    if (t[1].kind != Token::type) Fail("type code expected");
    cur = Pending{};
    cur.open = true;
    cur.type = ReadU32(t[1].text.data());
    cur.id = Uint32(Number(t[2], 0xFFFFFFFF));
    if (cur.type == 0 || cur.id == 0) Fail("type and id must not be 0");
    std::size_t k = 3;
    if (k < t.size() && t[k].kind == Token::string) ++k;  // the name, for readers of the manifest
    if (k + 1 < t.size() && t[k].kind == Token::word && t[k].text == "flags") {
      cur.flags = Uint32(Number(t[k + 1], 0x3FFFFFFF));
      k += 2;
    }
    if (k != t.size()) Fail("unexpected words after the resource header");
    if (!seen.insert({cur.type, cur.id}).second)
      Fail("duplicate resource '" + FourCCText(cur.type) + "' " + std::to_string(cur.id));
    return;
  }
  if (!cur.open) Fail("\"" + kw + "\" outside a resource");
  if (kw == "end") {
    if (t.size() != 1) Fail("\"end\" takes nothing");
    if (!cur.items.empty()) {
      if (!cur.data.empty()) Fail("items and other data in one resource");
      cur.data = UError::MakeItemList(cur.items);
    }
    AddItem(file, cur.type, SRezItem{cur.id, cur.flags, cur.data}, false);
    cur = Pending{};
    return;
  }
  if (kw == "text" || kw == "counted") {
    need(2);
    std::string s;
    for (std::size_t k = 1; k < t.size(); ++k) s += Str(t[k]);
    if (kw == "counted") {
      if (s.size() > 255) Fail("a counted string holds at most 255 bytes");
      cur.data.push_back(Uint8(s.size()));
    }
    AppendBytes(cur.data, s.data(), s.size());
  } else if (kw == "hex") {
    need(2);
    for (std::size_t k = 1; k < t.size(); ++k) {
      const std::string& h = t[k].text;
      if (t[k].kind != Token::word || h.size() % 2) Fail("hex takes pairs of digits");
      for (std::size_t j = 0; j < h.size(); j += 2) {
        if (!std::isxdigit(Uint8(h[j])) || !std::isxdigit(Uint8(h[j + 1]))) Fail("bad hex \"" + h + "\"");
        cur.data.push_back(Uint8(std::strtoul(h.substr(j, 2).c_str(), nullptr, 16)));
      }
    }
  } else if (kw == "u8" || kw == "u16" || kw == "u32") {
    need(2);
    for (std::size_t k = 1; k < t.size(); ++k) {
      if (kw == "u8") cur.data.push_back(Uint8(Number(t[k], 0xFF)));
      if (kw == "u16") AppendU16(cur.data, Uint16(Number(t[k], 0xFFFF)));
      if (kw == "u32") AppendU32(cur.data, Uint32(Number(t[k], 0xFFFFFFFF)));
    }
  } else if (kw == "file") {
    need(2);
    // The path is taken as written (bytes), not as Mac OS Roman text.
    std::string path = UText::MacRomanToUtf8(Str(t[1]));
    if (path.empty() || path[0] != '/') path = baseDir + "/" + path;
    cur.data += ReadWholeFile(path);
  } else if (kw == "item") {
    need(3);
    const Uint32 id = Uint32(Number(t[1], 0xFFFFFFFF));
    if (id == 0) Fail("item id 0 never matches");
    if (!cur.itemIds.insert(id).second) Fail("duplicate item " + std::to_string(id));
    std::string s;
    for (std::size_t k = 2; k < t.size(); ++k) s += Str(t[k]);
    cur.items.push_back({id, s});
  } else if (kw == "alert") {
    need(4);
    SAlertTemplate a;
    static const char* kinds[] = {"note", "caution", "stop", "question"};
    bool known = false;
    for (Uint8 k = 0; k < 4; ++k)
      if (t[1].text == kinds[k]) a.kind = k, known = true;
    if (!known || t[1].kind != Token::word) Fail("alert kind is note, caution, stop or question");
    a.title = Str(t[2]);
    a.message = Str(t[3]);
    for (std::size_t k = 4; k < t.size(); ++k) a.buttons.push_back(Str(t[k]));
    if (a.buttons.empty()) a.buttons.push_back("OK");
    if (a.buttons.size() > 3) Fail("at most three buttons");
    if (a.title.size() > 255 || a.message.size() > 255) Fail("alert texts hold at most 255 bytes");
    for (const auto& b : a.buttons)
      if (b.size() > 255) Fail("button labels hold at most 255 bytes");
    cur.data += a.Flatten();
  } else if (kw == "sound" || kw == "icon" || kw == "picture") {
    need(2);
    std::string why;
    Bytes made;
    if (kw == "sound") {
      std::vector<double> params;
      for (std::size_t k = 2; k < t.size(); ++k) params.push_back(Real(t[k]));
      made = RezSynth::Sound(t[1].text, params, why);
    } else if (kw == "icon") {
      need(3);
      const Uint32 rgb = Uint32(std::strtoul(t[2].text.c_str(), nullptr, 16));
      const int size = t.size() > 3 ? int(Number(t[3], 64)) : 32;
      made = RezSynth::Icon(t[1].text, rgb, size, why);
    } else {
      need(4);
      made = RezSynth::Picture(t[1].text, int(Number(t[2], 4096)), int(Number(t[3], 4096)), why);
    }
    if (made.empty()) Fail(why);
    cur.data += made;
  } else {
    Fail("unknown keyword \"" + kw + "\"");
  }
}

}  // namespace

Bytes CompileManifest(std::string_view manifest, const std::string& baseDir, std::string* error) {
  Compiler c;
  c.file = NewInMemory();
  try {
    c.Run(manifest, baseDir, "manifest", 0);
    if (c.cur.open) Fail("\"end\" missing at the end of the manifest");
  } catch (const Failure& f) {
    Dispose(c.file);
    if (error) *error = c.where + ": " + f.message;
    UError::Raise(errClassGeneral, errBadFormat);
  } catch (...) {
    Dispose(c.file);
    if (error) *error = c.where + ": cannot add the resource";
    throw;
  }
  Bytes image = Image(c.file);
  Dispose(c.file);
  return image;
}

}  // namespace cv::URez

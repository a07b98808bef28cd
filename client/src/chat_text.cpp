#include "client/chat_text.h"

#include <algorithm>

#include "framework/random.h"
#include "framework/text.h"
#include "protocol/catalogue.h"
#include "protocol/fields.h"

namespace cv::client {

// ---- User list entries

std::optional<SUserEntry> ParseUserEntry(ByteView field) {
  if (field.size() < kUserEntryHead) return std::nullopt;
  SUserEntry e;
  e.id = ReadU16(field.data());
  e.icon = ReadU16(field.data() + 2);
  e.flags = ReadU16(field.data() + 4);
  const std::size_t length = ReadU16(field.data() + 6);
  // A field shorter than the name it announces was cut or made up: take none of it.
  if (e.id == 0 || length > field.size() - kUserEntryHead) return std::nullopt;
  const std::size_t readable = std::min(field.size(), kUserEntryReadMax) - kUserEntryHead;
  const std::size_t take = std::min({length, readable, kUserEntryNameMax});
  e.name.assign(reinterpret_cast<const char*>(field.data() + kUserEntryHead), take);
  if (e.icon == 0) e.icon = kDefaultIconId;
  return e;
}

std::optional<SUserEntry> UserEntryFromFields(const UFieldData& fields) {
  const Uint32 id = fields.GetInteger(fld::UserId);
  if (id == 0 || id > 0xFFFF) return std::nullopt;
  SUserEntry e;
  e.id = Uint16(id);
  e.icon = Uint16(fields.GetInteger(fld::UserIconId));
  if (e.icon == 0) e.icon = kDefaultIconId;
  e.flags = Uint16(fields.GetInteger(fld::UserFlags));
  e.name = fields.GetText(fld::UserName, kUserEntryNameMax);
  return e;
}

SNameColour NameColour(Uint16 flags) {
  const bool idle = flags & userIdle, admin = flags & userAdmin;
  if (idle && admin) return {SNameColour::Rgb, {0xEEEE, 0x7777, 0x7777}};
  if (admin) return {SNameColour::Rgb, {0xDDDD, 0, 0}};
  if (idle) return {SNameColour::Dimmed, {}};
  return {SNameColour::Text, {}};
}

CMyUserList::SPut CMyUserList::Put(SUserEntry entry) {
  SPut put;
  if (auto it = index_.find(entry.id); it != index_.end()) {
    put.result = EPut::Updated;
    put.index = it->second;
    put.oldName = std::move(entries_[it->second].name);
    entries_[it->second] = std::move(entry);
    return put;
  }
  if (entries_.size() >= kUserListMax) return put;
  put.result = EPut::Added;
  put.index = entries_.size();
  index_.emplace(entry.id, entries_.size());
  entries_.push_back(std::move(entry));
  return put;
}

std::optional<SUserEntry> CMyUserList::Remove(Uint16 id, std::size_t* index) {
  auto it = index_.find(id);
  if (it == index_.end()) return std::nullopt;
  const std::size_t at = it->second;
  index_.erase(it);
  SUserEntry removed = std::move(entries_[at]);
  entries_.erase(entries_.begin() + std::ptrdiff_t(at));
  for (std::size_t i = at; i < entries_.size(); ++i) index_[entries_[i].id] = i;
  if (index) *index = at;
  return removed;
}

const SUserEntry* CMyUserList::Find(Uint16 id) const {
  auto it = index_.find(id);
  return it == index_.end() ? nullptr : &entries_[it->second];
}

void CMyUserList::Clear() {
  entries_.clear();
  index_.clear();
}

// ---- Lines

std::string NameChangeLine(std::string_view oldName, std::string_view newName) {
  const SCountedString a = UText::ToCounted(oldName), b = UText::ToCounted(newName);
  return UText::Fmt("\r <<< %#s is now known as %#s >>>", a.data(), b.data());
}

std::string JoinLine(std::string_view name) {
  const SCountedString n = UText::ToCounted(name);
  return UText::Fmt("\r <<< %#s has joined the chat >>>", n.data());
}

std::string LeaveLine(std::string_view name) {
  const SCountedString n = UText::ToCounted(name);
  return UText::Fmt("\r <<< %#s has left the chat >>>", n.data());
}

std::string_view LineToAppend(std::string_view line, bool windowTextEmpty) {
  if (windowTextEmpty && !line.empty() && line.front() == '\r') line.remove_prefix(1);
  return line;
}

// ---- Scrambling

namespace {

// Maps text outside double quotation marks; an unclosed mark leaves the rest alone.
void MapOutsideQuotes(std::string& text, std::size_t begin, std::size_t end, const std::array<Uint8, 256>& table) {
  end = std::min(end, text.size());
  bool quoted = false;
  for (std::size_t i = begin; i < end; ++i) {
    const Uint8 c = Uint8(text[i]);
    if (c == '"')
      quoted = !quoted;
    else if (!quoted)
      text[i] = char(table[c]);
  }
}

}  // namespace

std::string CMyChatScrambler::Shuffle(std::string_view alphabet, Uint8 a, Uint8 b, Uint8 c) {
  a = std::min<Uint8>(a, 9);
  b = std::min<Uint8>(b, 9);
  c = std::min<Uint8>(c, 9);
  const std::size_t n = alphabet.size();
  std::string work(alphabet);  // a taken byte becomes 0
  // Wrapping to b or c may land beyond a short alphabet: such a place holds nothing.
  auto at = [&](std::size_t p) -> Uint8 { return p < n ? Uint8(work[p]) : 0; };
  const int attempts = a + b + c + 10;
  std::size_t p = 0;
  std::string out;
  out.reserve(n);
  for (std::size_t j = 0; j < n; ++j) {
    bool taken = false;
    for (int t = 0; t < attempts && !taken; ++t) {
      p += a;
      if (p >= n) p = b;
      const Uint8 v = at(p);
      if (v == 0) continue;
      p += std::size_t(v) * c / 102;
      if (p >= n) p = c;
      if (const Uint8 w = at(p); w != 0) {
        out += char(w);
        work[p] = 0;
        taken = true;
      }
    }
    if (!taken) {
      const std::size_t first = work.find_first_not_of('\0');
      if (first == std::string::npos) break;  // only when the alphabet holds zero bytes
      out += work[first];
      work[first] = 0;
    }
  }
  return out;
}

std::optional<CMyChatScrambler> CMyChatScrambler::FromKey(std::string_view key) {
  if (key.size() != 3 || !std::all_of(key.begin(), key.end(), [](char c) { return UText::IsDigit(Uint8(c)); }))
    return std::nullopt;
  const Uint8 a = Uint8(key[0] - '0'), b = Uint8(key[1] - '0'), c = Uint8(key[2] - '0');
  CMyChatScrambler s;
  for (int i = 0; i < 256; ++i) s.encode_[i] = Uint8(i);
  for (std::string_view alphabet : {"bcdfghjklmnpqrstvwxyz", "BCDFGHJKLMNPQRSTVWXYZ", "aeiou", "0123456789"}) {
    const std::string order = Shuffle(alphabet, a, b, c);
    for (std::size_t j = 0; j < order.size(); ++j) s.encode_[Uint8(alphabet[j])] = Uint8(order[j]);
  }
  for (int i = 0; i < 256; ++i) s.decode_[s.encode_[i]] = Uint8(i);
  return s;
}

void CMyChatScrambler::EncodeRange(std::string& text, std::size_t begin, std::size_t end) const {
  MapOutsideQuotes(text, begin, end, encode_);
}

void CMyChatScrambler::DecodeRange(std::string& text, std::size_t begin, std::size_t end) const {
  MapOutsideQuotes(text, begin, end, decode_);
}

std::string CMyChatScrambler::DecodeLine(std::string line) const {
  if (line.empty() || line.back() != kScrambleMarker) return line;
  const std::size_t colon = line.find(':');
  if (colon == std::string::npos) return line;
  DecodeRange(line, colon, line.size() - 1);
  line[colon] = kScrambleBullet;
  return line;
}

// ---- Sending

void ReplaceControls(std::string& text) {
  for (char& ch : text) {
    const Uint8 c = Uint8(ch);
    if ((c < 32 && !(c >= '\t' && c <= '\r')) || c == 127) ch = ' ';
  }
}

EChatPrepared PrepareChatText(std::string& text, const CMyChatScrambler* scrambler) {
  if (text.size() > kChatSendMax) return EChatPrepared::TooLong;
  // The carriage return goes before the marker is added: left in, it would make the
  // server start a last line that holds only the marker.
  if (!text.empty() && text.back() == '\r') text.pop_back();
  if (scrambler) {
    scrambler->EncodeRange(text, 0, text.size());
    text += kScrambleMarker;
  }
  ReplaceControls(text);
  return EChatPrepared::Ready;
}

std::string_view SillyText(Int32 draw) {
  switch (draw) {
    case 1:
      return "doze frogz are gunna pay";
    case 2:
      return "pork pork";
    case 3:
      return "pork pork pork";
    case 4:
      return "pork pork pork pork";
    default:
      return "pork";
  }
}

// ---- Titles

std::string PrivateChatTitle(std::string_view subject) {
  if (subject.empty()) return "Private Chat";
  std::string title = "Private Chat:  ";
  title += subject.substr(0, kSubjectMax);
  if (title.size() > 64) {
    title.resize(64);
    title += "...";
  }
  return title;
}

// ---- Hidden command window

Uint32 SecretWordHash(std::string_view word) {
  std::string counted(1, char(std::min<std::size_t>(word.size(), 255)));
  counted += word.substr(0, 255);
  UText::MakeLowercase(counted.data() + 1, counted.size() - 1);
  return Crc32(counted.data(), counted.size(), 0xFFFFFFDB);
}

const std::vector<SSecretWord>& SecretWords() {
  // Only the hashes are kept, so that the words do not show in the program. The words:
  // "icon" set icon; "cap", "crown", "halo", "mask" the icons 134, 139, 158, 410;
  // "sendbuf" send buffer size; "leech" leech rating; "stats" statistics;
  // "scramble" chat scrambling; "silly" silly mode; "idle" nothing.
  static const std::vector<SSecretWord> words = {
      {0x1F00BEFF, ESecretCommand::SetIcon},     {0x304B6DD1, ESecretCommand::Icon134},
      {0x4F6994BD, ESecretCommand::Icon139},     {0xB6F63F22, ESecretCommand::Icon158},
      {0xA8BC3977, ESecretCommand::Icon410},     {0xC7DB45B6, ESecretCommand::SendBuffer},
      {0x5C72A159, ESecretCommand::LeechRating}, {0x09757337, ESecretCommand::Statistics},
      {0x60129D18, ESecretCommand::Scramble},    {0x1AFF6418, ESecretCommand::Silly},
      {0x43AB6DD8, ESecretCommand::Nothing},
  };
  return words;
}

ESecretCommand SecretCommandFor(std::string_view word) {
  const Uint32 hash = SecretWordHash(word);
  for (const SSecretWord& w : SecretWords())
    if (w.hash == hash) return w.command;
  return ESecretCommand::None;
}

std::optional<Uint16> SecretIconId(std::string_view argument) {
  if (argument.empty() || argument.size() > 5 ||
      !std::all_of(argument.begin(), argument.end(), [](char c) { return UText::IsDigit(Uint8(c)); }))
    return std::nullopt;
  const Int32 id = UText::TextToInteger(argument.data(), argument.size());
  if (id > 0xFFFF || id == 134 || id == 139 || id == 158 || id == 410 || (id >= 1000 && id <= 1003))
    return std::nullopt;
  return Uint16(id);
}

Uint32 SendBufferBytes(std::string_view argument) {
  constexpr Uint64 kMin = 16384;
  // The system clamps larger sizes anyway; this keeps the product inside 32 bits.
  constexpr Uint64 kMax = 64ull << 20;
  const Int32 kilobytes = UText::TextToInteger(argument.data(), argument.size());
  if (kilobytes <= 0) return Uint32(kMin);
  return Uint32(std::clamp<Uint64>(Uint64(kilobytes) * 1024, kMin, kMax));
}

std::string LeechRatingText(Uint32 uploaded, Uint32 downloaded) {
  static constexpr std::string_view kHead = "announces a LEECH RATING of >>>> ";
  if (uploaded == 0) return std::string(kHead) + "\xB0";
  if (downloaded == 0) return std::string(kHead) + "-\xB0";
  // A quotient beyond 32 bits signed would print as a negative rating.
  const Int64 rating = uploaded < downloaded ? Int64(downloaded / uploaded) : -Int64(uploaded / downloaded);
  const Int32 shown = Int32(std::clamp<Int64>(rating, INT32_MIN, INT32_MAX));
  return UText::Fmt("announces a LEECH RATING of >>>> %li", shown);
}

}  // namespace cv::client

// Resource file reading and writing. Every number taken from the file is checked
// against the file's size and the index's size before it is used.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "framework/errors.h"
#include "framework/resources.h"

namespace cv {

namespace {

constexpr Uint32 kHeaderSize = 32;
constexpr Uint32 kMinFileSize = 40;
// No index of ours comes near this; a larger one is taken as damage, not allocated.
constexpr Uint64 kMaxIndexSize = 64u << 20;
constexpr Uint32 kFlagsMask = 0x3FFFFFFF;  // the two top bits are not ours to keep

struct Item {
  Uint32 id = 0;
  Uint32 flags = 0;
  Uint32 size = 0;
  Uint32 position = 0;
  std::unique_ptr<Bytes> data;  // none while not loaded
  Uint32 useCount = 0;
  bool inMemoryOnly = false;  // added or changed since the last save: the store has no copy
};

struct Type {
  Uint32 code = 0;
  std::vector<Item> items;  // ascending ids
};

[[noreturn]] void Damaged() { UError::Raise(errClassResources, 102); }

}  // namespace

struct SRezFile {
  SRezProcs procs;
  std::vector<Type> types;  // ascending codes
  bool changed = false;
  std::size_t lastType = SIZE_MAX;
  Uint32 nextId = 1;
  int fd = -1;
  std::shared_ptr<Bytes> memory;

  ~SRezFile() {
    if (fd >= 0) ::close(fd);
  }

  Type* FindType(Uint32 code) {
    if (lastType < types.size() && types[lastType].code == code) return &types[lastType];
    auto it = std::lower_bound(types.begin(), types.end(), code, [](const Type& t, Uint32 c) { return t.code < c; });
    if (it == types.end() || it->code != code) return nullptr;
    lastType = std::size_t(it - types.begin());
    return &*it;
  }
  Type& MakeType(Uint32 code) {
    if (Type* t = FindType(code)) return *t;
    auto it = std::lower_bound(types.begin(), types.end(), code, [](const Type& t, Uint32 c) { return t.code < c; });
    it = types.insert(it, Type{code, {}});
    lastType = SIZE_MAX;
    return *it;
  }
  Item* FindItem(Uint32 code, Uint32 id) {
    Type* t = FindType(code);
    if (!t) return nullptr;
    auto it = std::lower_bound(t->items.begin(), t->items.end(), id, [](const Item& i, Uint32 v) { return i.id < v; });
    return (it == t->items.end() || it->id != id) ? nullptr : &*it;
  }

  void ReadIndex();
  Bytes ReadData(const Item& item);
};

namespace {

// Search order: front first.
std::vector<TRezFile>& OpenFiles() {
  static std::vector<TRezFile> files;
  return files;
}

void Link(TRezFile f) { OpenFiles().insert(OpenFiles().begin(), f); }

}  // namespace

void SRezFile::ReadIndex() {
  types.clear();
  lastType = SIZE_MAX;
  const Uint64 fileSize = procs.getSize ? procs.getSize() : 0;
  if (!procs.read || fileSize == 0) {
    changed = true;
    return;
  }
  if (fileSize < kMinFileSize) Damaged();
  Uint8 header[kHeaderSize];
  if (!procs.read(0, header, sizeof header)) Damaged();
  if (ReadU32(header) != kRezMagic) UError::Raise(errClassGeneral, errBadFormat);
  if (ReadU16(header + 4) != kRezVersion) UError::Raise(errClassGeneral, errBadVersion);
  const Uint64 indexSize = ReadU32(header + 24);
  const Uint64 indexPos = Uint64(ReadU32(header + 28)) + kHeaderSize;
  if (indexSize < 8 || indexSize > kMaxIndexSize || indexPos > fileSize || indexSize > fileSize - indexPos) Damaged();

  Bytes index(std::size_t(indexSize), 0);
  if (!procs.read(indexPos, index.data(), index.size())) Damaged();
  const Uint8* p = index.data();
  const Uint8* const end = p + index.size();
  if (ReadU32(p) != indexPos) Damaged();
  const Uint32 typeCount = ReadU32(p + 4);
  p += 8;
  // Each type group takes at least 8 bytes: a larger count cannot be honest.
  if (typeCount > Uint64(end - p) / 8) Damaged();

  struct Span {
    Uint32 position, size;
  };
  std::vector<Span> spans;
  std::vector<Type> parsed;
  parsed.reserve(typeCount);
  for (Uint32 t = 0; t < typeCount; ++t) {
    if (end - p < 8) Damaged();
    const Uint32 code = ReadU32(p);
    const Uint32 count = ReadU32(p + 4);
    p += 8;
    if (code == 0 || (!parsed.empty() && code <= parsed.back().code)) Damaged();
    if (count > Uint64(end - p) / 16) Damaged();
    Type type{code, {}};
    type.items.reserve(count);
    for (Uint32 i = 0; i < count; ++i, p += 16) {
      Item item;
      item.id = ReadU32(p);
      item.flags = ReadU32(p + 4) & kFlagsMask;
      item.size = ReadU32(p + 8);
      item.position = ReadU32(p + 12);
      if (item.id == 0 || (!type.items.empty() && item.id <= type.items.back().id)) Damaged();
      // Data lies between the header and the index.
      if (item.position < kHeaderSize || item.position >= indexPos || Uint64(item.position) + item.size > indexPos)
        Damaged();
      if (item.size) spans.push_back({item.position, item.size});
      type.items.push_back(std::move(item));
    }
    parsed.push_back(std::move(type));
  }
  // Two items sharing bytes would let one edit corrupt the other.
  std::sort(spans.begin(), spans.end(), [](const Span& a, const Span& b) { return a.position < b.position; });
  for (std::size_t i = 1; i < spans.size(); ++i)
    if (Uint64(spans[i - 1].position) + spans[i - 1].size > spans[i].position) Damaged();
  types = std::move(parsed);
  changed = false;
}

Bytes SRezFile::ReadData(const Item& item) {
  Bytes data(item.size, 0);
  if (item.size == 0) return data;
  if (!procs.read) UError::Raise(errClassResources, errRezCannotRead);
  if (!procs.read(item.position, data.data(), data.size())) Damaged();
  return data;
}

bool SAlertTemplate::Parse(ByteView data, SAlertTemplate& out) {
  std::size_t at = 0;
  auto counted = [&](std::string& s) {
    if (at >= data.size()) return false;
    const std::size_t n = data[at];
    if (n > data.size() - at - 1) return false;
    s.assign(reinterpret_cast<const char*>(data.data() + at + 1), n);
    at += n + 1;
    return true;
  };
  SAlertTemplate a;
  if (data.size() < 1) return false;
  a.kind = data[at++];
  if (a.kind > kindQuestion || !counted(a.title) || !counted(a.message) || at >= data.size()) return false;
  const std::size_t buttons = data[at++];
  if (buttons > 3) return false;
  for (std::size_t i = 0; i < buttons; ++i) {
    std::string label;
    if (!counted(label)) return false;
    a.buttons.push_back(std::move(label));
  }
  out = std::move(a);
  return true;
}

Bytes SAlertTemplate::Flatten() const {
  Bytes out;
  auto counted = [&](std::string_view s) {
    const std::size_t n = std::min<std::size_t>(s.size(), 255);
    out.push_back(Uint8(n));
    AppendBytes(out, s.data(), n);
  };
  out.push_back(kind);
  counted(title);
  counted(message);
  const std::size_t n = std::min<std::size_t>(buttons.size(), 3);
  out.push_back(Uint8(n));
  for (std::size_t i = 0; i < n; ++i) counted(buttons[i]);
  return out;
}

namespace URez {

TRezFile New(SRezProcs procs, bool defer) {
  auto f = std::make_unique<SRezFile>();
  f->procs = std::move(procs);
  if (!defer) f->ReadIndex();
  Link(f.get());
  return f.release();
}

TRezFile NewInMemory(Bytes image) {
  auto mem = std::make_shared<Bytes>(std::move(image));
  SRezProcs procs;
  procs.read = [mem](Uint64 off, void* buf, std::size_t n) {
    if (off > mem->size() || n > mem->size() - off) return false;
    if (n) std::memcpy(buf, mem->data() + off, n);
    return true;
  };
  procs.write = [mem](Uint64 off, const void* data, std::size_t n) {
    if (off > mem->size() || n > mem->size() - off) return false;
    if (n) std::memcpy(mem->data() + off, data, n);
    return true;
  };
  procs.getSize = [mem] { return Uint64(mem->size()); };
  procs.setSize = [mem](Uint64 size) {
    mem->resize(std::size_t(size));
    return true;
  };
  procs.control = [] { return true; };
  auto f = std::make_unique<SRezFile>();
  f->procs = std::move(procs);
  f->memory = mem;
  f->ReadIndex();
  Link(f.get());
  return f.release();
}

TRezFile OpenFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) UError::RaiseLastSystem("URez::OpenFile", __LINE__);
  auto f = std::make_unique<SRezFile>();
  f->fd = fd;
  f->procs.read = [fd](Uint64 off, void* buf, std::size_t n) {
    auto* p = static_cast<Uint8*>(buf);
    while (n) {
      const ssize_t got = ::pread(fd, p, n, off_t(off));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return false;
      p += got, off += Uint64(got), n -= std::size_t(got);
    }
    return true;
  };
  f->procs.getSize = [fd] {
    struct stat st;
    return (::fstat(fd, &st) == 0 && st.st_size > 0) ? Uint64(st.st_size) : Uint64(0);
  };
  f->ReadIndex();  // raises; the unique_ptr closes the file
  Link(f.get());
  return f.release();
}

TRezFile OpenProgramFile(std::string_view name) {
  std::string dir;
  char buf[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n > 0) {
    dir.assign(buf, std::size_t(n));
    const auto slash = dir.rfind('/');
    dir = slash == std::string::npos ? std::string(".") : dir.substr(0, slash);
  } else {
    dir = ".";
  }
  return OpenFile(dir + "/" + std::string(name));
}

void Dispose(TRezFile file) {
  if (!file) return;
  auto& files = OpenFiles();
  files.erase(std::remove(files.begin(), files.end(), file), files.end());
  delete file;
}

void DisposeAll() {
  while (!OpenFiles().empty()) Dispose(OpenFiles().front());
}

void MakeCurrent(TRezFile file) {
  Require(file);
  auto& files = OpenFiles();
  auto it = std::find(files.begin(), files.end(), file);
  if (it == files.end()) UError::Raise(errClassGeneral, errBadArgument);
  files.erase(it);
  files.insert(files.begin(), file);
}

TRezFile Current() { return OpenFiles().empty() ? nullptr : OpenFiles().front(); }

TRezFile FindFile(Uint32 type, Uint32 id) {
  for (TRezFile f : OpenFiles())
    if (f->FindItem(type, id)) return f;
  return nullptr;
}

const Bytes* LoadItem(TRezFile file, Uint32 type, Uint32 id, bool mayFail) {
  Item* item = Require(file).FindItem(type, id);
  if (!item) {
    if (mayFail) return nullptr;
    UError::Raise(errClassResources, errRezNotFound);
  }
  if (!item->data) item->data = std::make_unique<Bytes>(file->ReadData(*item));
  ++item->useCount;
  return item->data.get();
}

void ReleaseItem(TRezFile file, Uint32 type, Uint32 id) {
  Item* item = file ? file->FindItem(type, id) : nullptr;
  if (!item) return;
  if (item->useCount == 0) {
    UError::Trace("URez - ReleaseItem() called too many times");
    return;
  }
  if (--item->useCount == 0 && !item->inMemoryOnly) item->data.reset();
}

std::optional<Bytes> Read(Uint32 type, Uint32 id) {
  TRezFile f = FindFile(type, id);
  if (!f) return std::nullopt;
  const Bytes* data = LoadItem(f, type, id, true);
  if (!data) return std::nullopt;
  Bytes copy = *data;
  ReleaseItem(f, type, id);
  return copy;
}

bool HasItem(TRezFile file, Uint32 type, Uint32 id) { return file && file->FindItem(type, id); }

std::vector<Uint32> Types(TRezFile file) {
  std::vector<Uint32> out;
  for (const Type& t : Require(file).types)
    if (!t.items.empty()) out.push_back(t.code);
  return out;
}

std::vector<Uint32> Ids(TRezFile file, Uint32 type) {
  std::vector<Uint32> out;
  if (Type* t = Require(file).FindType(type))
    for (const Item& i : t->items) out.push_back(i.id);
  return out;
}

std::optional<Uint32> ItemSize(TRezFile file, Uint32 type, Uint32 id) {
  Item* item = Require(file).FindItem(type, id);
  if (!item) return std::nullopt;
  return item->data ? Uint32(item->data->size()) : item->size;
}

Uint32 AddItem(TRezFile file, Uint32 type, SRezItem record, bool replace) {
  Require(file);
  if (type == 0) UError::Raise(errClassGeneral, errBadArgument);
  const std::size_t present = file->MakeType(type).items.size();
  Uint32 id = record.id;
  if (id == 0) {
    // The next free id after the last one given, wrapping past 2^32 - 1 to 1.
    id = file->nextId;
    for (Uint64 tries = 0; file->FindItem(type, id); ++tries) {
      if (tries > present) UError::Raise(errClassResources, 104);
      id = id == 0xFFFFFFFF ? 1 : id + 1;
    }
    file->nextId = id == 0xFFFFFFFF ? 1 : id + 1;
  }
  Item* existing = file->FindItem(type, id);
  if (existing) {
    if (!replace) UError::Raise(errClassResources, 104);
    if (existing->useCount) {
      UError::Trace("URez - cannot change because resource is loaded");
      UError::Raise(errClassResources, 103);
    }
  } else {
    Type& tt = file->MakeType(type);
    auto it = std::lower_bound(tt.items.begin(), tt.items.end(), id, [](const Item& i, Uint32 v) { return i.id < v; });
    Item fresh;
    fresh.id = id;
    existing = &*tt.items.insert(it, std::move(fresh));
  }
  existing->flags = record.flags & kFlagsMask;
  existing->size = Uint32(record.data.size());
  existing->data = std::make_unique<Bytes>(std::move(record.data));
  existing->inMemoryOnly = true;
  file->changed = true;
  return id;
}

void ChangedItem(TRezFile file, Uint32 type, Uint32 id) {
  Item* item = Require(file).FindItem(type, id);
  if (!item) UError::Raise(errClassResources, errRezNotFound);
  if (!item->data) {
    UError::Trace("URez::ChangedItem() - resource is not loaded");
    return;
  }
  item->inMemoryOnly = true;
  item->size = Uint32(item->data->size());
  file->changed = true;
}

void RemoveItem(TRezFile file, Uint32 type, Uint32 id) {
  Type* t = Require(file).FindType(type);
  Item* item = file->FindItem(type, id);
  if (!t || !item) UError::Raise(errClassResources, errRezNotFound);
  if (item->useCount) {
    UError::Trace("URez::RemoveItem() - can't remove because resource is loaded");
    UError::Raise(errClassResources, 103);
  }
  t->items.erase(t->items.begin() + (item - t->items.data()));
  file->changed = true;
}

void SetItemHandle(TRezFile file, Uint32 type, Uint32 id, Bytes data) {
  Item* item = Require(file).FindItem(type, id);
  if (!item) UError::Raise(errClassResources, errRezNotFound);
  if (item->useCount) {
    UError::Trace("URez::SetItemHandle() - resource is loaded");
    UError::Raise(errClassResources, 103);
  }
  item->size = Uint32(data.size());
  item->data = std::make_unique<Bytes>(std::move(data));
  item->inMemoryOnly = true;
  file->changed = true;
}

bool IsChanged(TRezFile file) { return Require(file).changed; }

Bytes Image(TRezFile file) {
  Require(file);
  Bytes data;
  struct Entry {
    Uint32 type, id, flags, size, position;
  };
  std::vector<Entry> entries;
  bool anyEmpty = false;
  for (Type& t : file->types) {
    for (Item& i : t.items) {
      const Bytes bytes = i.data ? *i.data : file->ReadData(i);
      if (data.size() + bytes.size() > 0xFFFFFFFFull - kHeaderSize - 1)
        UError::Raise(errClassGeneral, errFieldTooLarge);
      entries.push_back({t.code, i.id, i.flags, Uint32(bytes.size()), Uint32(kHeaderSize + data.size())});
      if (bytes.empty()) anyEmpty = true;
      data += bytes;
    }
  }
  // An empty item must still lie before the index.
  if (anyEmpty && data.empty()) data.push_back(0);
  for (Entry& e : entries)
    if (e.size == 0) e.position = kHeaderSize;

  const Uint32 indexPos = Uint32(kHeaderSize + data.size());
  Bytes index;
  AppendU32(index, indexPos);
  Uint32 typeCount = 0;
  for (const Type& t : file->types) typeCount += t.items.empty() ? 0 : 1;
  AppendU32(index, typeCount);
  std::size_t e = 0;
  for (const Type& t : file->types) {
    if (t.items.empty()) continue;
    AppendU32(index, t.code);
    AppendU32(index, Uint32(t.items.size()));
    for (std::size_t k = 0; k < t.items.size(); ++k, ++e) {
      AppendU32(index, entries[e].id);
      AppendU32(index, entries[e].flags);
      AppendU32(index, entries[e].size);
      AppendU32(index, entries[e].position);
    }
  }
  Bytes out(kHeaderSize, 0);
  WriteU32(out.data(), kRezMagic);
  WriteU16(out.data() + 4, kRezVersion);
  WriteU32(out.data() + 24, Uint32(index.size()));
  WriteU32(out.data() + 28, indexPos - kHeaderSize);
  out += data;
  out += index;
  return out;
}

void Save(TRezFile file) {
  Require(file);
  if (!file->procs.read || !file->procs.write || !file->procs.setSize) {
    UError::Trace("URez::Save() - need Read, Write, and SetSize procs");
    UError::Raise(errClassGeneral, errBadState);
  }
  if (!file->procs.control) {
    UError::Trace("URez::Save() - need control proc");
    UError::Raise(errClassGeneral, errBadState);
  }
  // Everything is gathered before the store is touched: the old positions are read from it.
  const Bytes image = Image(file);
  if (!file->procs.setSize(image.size()) || !file->procs.write(0, image.data(), image.size()) || !file->procs.control())
    UError::Raise(errClassFiles, 106);
  // The store now holds every item; positions are taken from the fresh index.
  std::vector<Type> old = std::move(file->types);
  file->ReadIndex();
  for (Type& t : old)
    for (Item& i : t.items)
      if (i.useCount || i.data) {
        if (Item* now = file->FindItem(t.code, i.id)) {
          now->data = i.useCount ? std::move(i.data) : nullptr;
          now->useCount = i.useCount;
        }
      }
}

std::optional<SAlertTemplate> GetAlert(Uint32 id) {
  auto data = Read(rezAlert, id);
  SAlertTemplate a;
  if (!data || !SAlertTemplate::Parse(ByteView(data->data(), data->size()), a)) return std::nullopt;
  return a;
}

std::optional<std::string> GetString(Uint32 id) {
  auto data = Read(rezString, id);
  if (!data) return std::nullopt;
  return std::string(reinterpret_cast<const char*>(data->data()), data->size());
}

}  // namespace URez

}  // namespace cv

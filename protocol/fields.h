// Field lists: the parameter block of every client/server transaction.
//
// Wire image: a 16-bit field count, then the fields back to back, each a 16-bit id,
// a 16-bit data size and the data. Everything big-endian. A field of size 0 is never
// written, so an empty text or empty data is simply absent, and every getter returns
// its "absent" value (0, empty, 0 bytes) for a missing field.
//
// Building appends in place to one block. Reading builds an index on the first lookup
// after a change (offsets by position, (id, position) pairs sorted by id, and a
// one-entry cache for the last id). Received data is never trusted: the index keeps
// only the complete leading fields and ignores the rest; nothing here raises on
// malformed input.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "framework/types.h"

namespace cv {

class UFieldData {
 public:
  static constexpr std::size_t kMaxFieldSize = 65535;
  static constexpr std::size_t kMaxFieldCount = 65535;
  static constexpr std::size_t kFieldHeadSize = 4;

  UFieldData() = default;
  // Takes the block (received transaction data); the list starts prefix bytes into it.
  explicit UFieldData(Bytes block, std::size_t prefix = 0)
      : block_(std::move(block)), prefix_(prefix), clean_(block_.empty()) {}

  UFieldData(const UFieldData& other) : block_(other.block_), prefix_(other.prefix_), clean_(other.clean_) {}
  UFieldData& operator=(const UFieldData& other);
  UFieldData(UFieldData&& other) noexcept;
  UFieldData& operator=(UFieldData&& other) noexcept;

  // Frees the block and the index: the list is empty and has no block.
  void Clear();
  // Replaces the block (and forgets the index).
  void SetBlock(Bytes block, std::size_t prefix = 0);
  // The wire image, prefix included; an empty list (prefix + 00 00) when there is no block.
  const Bytes& GetBlock();
  // Moves the wire image out (an empty list when there is none); the list is then empty.
  Bytes TakeBlock();
  bool HasBlock() const { return !block_.empty(); }
  std::size_t Prefix() const { return prefix_; }

  // Appends one field. Size 0 does nothing. Id 0 raises (1, 2); a size above 65535, or a
  // list that already holds 65535 fields, raises (1, 10) and leaves the list unchanged.
  // With data == nullptr the data bytes are zero and the caller may fill them later.
  void AddField(Uint16 id, const void* data, std::size_t size);
  void AddField(Uint16 id, ByteView data) { AddField(id, data.data(), data.size()); }
  // 2 bytes below 65536, otherwise 4 bytes.
  void AddInteger(Uint16 id, Uint32 value);
  // A counted string (length byte, then the characters); nothing when absent or empty.
  void AddPString(Uint16 id, const Uint8* pstring);
  // The characters of a text; nothing when empty.
  void AddText(Uint16 id, std::string_view text) { AddField(id, text.data(), text.size()); }

  // Number of complete fields (0 when there is no block).
  std::size_t GetFieldCount() const;
  // Positions start at 1; 0 or beyond the count gives id 0 / nothing.
  Uint16 GetNthFieldId(std::size_t n) const;
  std::size_t GetNthFieldData(std::size_t n, std::size_t start, void* buffer, std::size_t bufferSize) const;
  Uint32 GetNthInteger(std::size_t n) const;
  // A view of the n-th field's data (empty when out of range); valid until the list changes.
  ByteView GetNthField(std::size_t n) const;

  std::size_t GetFieldSize(Uint16 id) const;
  std::size_t GetFieldData(Uint16 id, void* buffer, std::size_t bufferSize) const;
  Uint32 GetInteger(Uint16 id) const;
  // Copies min(size, capacity - 1) characters into a counted string buffer of capacity
  // bytes (length byte included); absent gives the empty string. Capacity 0 writes nothing.
  void GetPString(Uint16 id, Uint8* pstring, std::size_t capacity) const;
  // The field's text, truncated to maxChars characters.
  std::string GetText(Uint16 id, std::size_t maxChars = 255) const;
  // A view of the field's data (empty when absent); valid until the list changes.
  ByteView GetField(Uint16 id) const;
  bool HasField(Uint16 id) const { return Find(id) != 0; }

  // Integer decoding by width: 1 → the byte, 2 → 16 bits, 3 → 0, 4 or more → the
  // first 4 bytes; empty → 0.
  static Uint32 DecodeInteger(ByteView data);

 private:
  void BuildIndex() const;
  void Forget() const;
  // 1-based position of a field with that id, 0 when absent.
  std::size_t Find(Uint16 id) const;

  Bytes block_;
  std::size_t prefix_ = 0;

  // Lazily built index.
  // False after SetBlock until the first add has cut the block to its complete fields.
  bool clean_ = true;
  mutable bool indexed_ = false;
  mutable std::vector<std::size_t> offsets_;               // one per complete field, plus the end
  mutable std::vector<std::pair<Uint16, Uint16>> sorted_;  // (id, position) sorted by id
  mutable Uint16 cacheId_ = 0;
  mutable std::size_t cachePos_ = 0;
};

}  // namespace cv

#include "disk/zfs_compression.h"

#include "base/bytes.h"

namespace DiskIO {

namespace {

uint8_t At(std::string_view bytes, size_t index) {
  return static_cast<uint8_t>(bytes[index]);
}

// Adds the bytes of an LZ4 length that goes on past its nibble (each 255 says more follow) to
// `length`; false when the input ends first or the length passes `limit`.
bool LongLength(std::string_view in, size_t& at, size_t limit, size_t& length) {
  uint8_t more = 255;
  while (more == 255) {
    if (at >= in.size()) return false;
    more = At(in, at++);
    length += more;
    if (length > limit) return false;
  }
  return true;
}

// An LZ4 block: sequences of a token (literal length, match length), literals, and a 2-byte
// little-endian offset back into the output; the last sequence ends after its literals.
bool Lz4Block(std::string_view in, size_t size, std::string& out) {
  size_t at = 0;
  while (at < in.size()) {
    const uint8_t token = At(in, at++);
    size_t literals = token >> 4;
    if (literals == 15 && !LongLength(in, at, size, literals)) return false;
    if (literals > in.size() - at || literals > size - out.size()) return false;
    out.append(in.substr(at, literals));
    at += literals;
    if (at == in.size()) break;
    if (in.size() - at < 2) return false;
    const size_t back = LittleEndianValue(in, at, 2);
    at += 2;
    size_t match = token & 0xF;
    if (match == 15 && !LongLength(in, at, size, match)) return false;
    match += 4;
    if (back == 0 || back > out.size() || match > size - out.size()) return false;
    for (size_t from = out.size() - back; match > 0; --match) out.push_back(out[from++]);
  }
  return true;
}

// LZJB: a copy map byte before every eight items; an item is a literal byte, or (its bit set) a
// 2-byte match of 6 bits of length (plus 3) and 10 bits of offset back into the output.
bool Lzjb(std::string_view in, size_t size, std::string& out) {
  size_t at = 0;
  uint8_t map = 0;
  int bit = 8;
  while (out.size() < size) {
    if (bit == 8) {
      if (at >= in.size()) return false;
      map = At(in, at++);
      bit = 0;
    }
    const bool copy = (map >> bit++) & 1;
    if (!copy) {
      if (at >= in.size()) return false;
      out.push_back(in[at++]);
      continue;
    }
    if (in.size() - at < 2) return false;
    size_t length = (At(in, at) >> 2) + 3;
    const size_t back = BigEndianValue(in, at, 2) & 0x3FF;
    at += 2;
    if (back == 0 || back > out.size()) return false;
    if (length > size - out.size()) length = size - out.size();
    for (size_t from = out.size() - back; length > 0; --length) out.push_back(out[from++]);
  }
  return true;
}

}  // namespace

bool ZfsDecompress(uint8_t compression, std::string_view in, size_t size, std::string& out) {
  std::string result;
  result.reserve(size);
  switch (compression) {
    case kZfsCompressOff:
      if (in.size() < size) return false;
      result.assign(in.substr(0, size));
      break;
    case kZfsCompressEmpty:
      result.assign(size, '\0');
      break;
    case kZfsCompressLz4: {
      if (in.size() < 4) return false;
      const uint64_t length = BigEndianValue(in, 0, 4);
      if (length > in.size() - 4 || !Lz4Block(in.substr(4, length), size, result)) return false;
      result.resize(size, '\0');
      break;
    }
    case kZfsCompressLzjb:
      if (!Lzjb(in, size, result)) return false;
      break;
    default:
      return false;
  }
  out.swap(result);
  return true;
}

}  // namespace DiskIO

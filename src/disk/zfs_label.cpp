// The XDR encoding of an nvlist, as OpenZFS's nvpair code writes it: big-endian 32-bit words;
// a list is its version and flags, its pairs, and two zero words; a pair is its encoded and
// decoded sizes, its name as an XDR string (length, bytes, padding to 4), its type, its element
// count, then its value. An embedded list follows its pair's count, and an array of lists gives
// each list in turn; the pair's encoded size covers them.
#include "disk/zfs_label.h"

#include "base/bytes.h"

namespace DiskIO {

namespace {

constexpr uint32_t kXdrEncoding = 1;
constexpr uint32_t kTypeUint64 = 8;
constexpr uint32_t kTypeString = 9;
constexpr uint32_t kTypeList = 19;
constexpr uint32_t kTypeListArray = 20;
constexpr size_t kPairHeader = 4 * 5;  // sizes, name length, type, count: the least a pair takes

// Which list is being read: the one whose pairs are kept in `ZfsLabel`.
enum class Place { kTop, kVdevTree, kFeatures, kOther };

// A cursor over the packed bytes; every read checks that its bytes are there.
struct Reader {
  std::string_view bytes;
  size_t at = 0;
  size_t pairs = 0;

  size_t Left() const { return bytes.size() - at; }

  bool Word(uint32_t& value) {
    if (Left() < 4) return false;
    value = static_cast<uint32_t>(BigEndianValue(bytes, at, 4));
    at += 4;
    return true;
  }

  bool Long(uint64_t& value) {
    if (Left() < 8) return false;
    value = BigEndianValue(bytes, at, 8);
    at += 8;
    return true;
  }

  bool Text(std::string& text) {
    uint32_t length = 0;
    if (!Word(length) || length > Left()) return false;
    const size_t padded = (static_cast<size_t>(length) + 3) & ~size_t{3};
    if (padded > Left()) return false;
    text.assign(bytes.substr(at, length));
    at += padded;
    return true;
  }
};

// Which of the pairs the label must have were read.
struct Found {
  bool version = false;
  bool tree = false;
};

bool ReadList(Reader& reader, int depth, Place place, ZfsLabel& label, Found& found);

// Reads the value of a pair of type `type` and `count` elements named `name`, which must end at
// byte `end`, keeping what `place` asks for.
bool ReadValue(Reader& reader, int depth, Place place, const std::string& name, uint32_t type,
               uint32_t count, size_t end, ZfsLabel& label, Found& found) {
  if (type == kTypeList || type == kTypeListArray) {
    if (type == kTypeList && count != 1) return false;
    Place inner = Place::kOther;
    if (place == Place::kTop && type == kTypeList && name == "vdev_tree") inner = Place::kVdevTree;
    if (place == Place::kTop && type == kTypeList && name == "features_for_read") {
      inner = Place::kFeatures;
    }
    for (uint32_t i = 0; i < count; ++i) {
      if (reader.at >= end || !ReadList(reader, depth + 1, inner, label, found)) return false;
    }
    if (inner == Place::kVdevTree) found.tree = true;
    return reader.at == end;
  }
  if (type == kTypeUint64 && count == 1) {
    uint64_t value = 0;
    if (end - reader.at != 8 || !reader.Long(value)) return false;
    if (place == Place::kTop && name == "version") {
      label.version = value;
      found.version = true;
    }
    if (place == Place::kVdevTree && name == "id") label.topVdevId = value;
    return true;
  }
  if (type == kTypeString && count == 1) {
    std::string text;
    if (!reader.Text(text) || reader.at != end) return false;
    if (place == Place::kVdevTree && name == "type") label.topVdevType = text;
    return true;
  }
  reader.at = end;  // a value of no interest: stepped over by the pair's own size
  return true;
}

bool ReadList(Reader& reader, int depth, Place place, ZfsLabel& label, Found& found) {
  uint32_t version = 0, flags = 0;
  if (depth > kZfsMaxNesting || !reader.Word(version) || !reader.Word(flags) || version != 0) {
    return false;
  }
  while (true) {
    const size_t start = reader.at;
    uint32_t encoded = 0, decoded = 0;
    if (!reader.Word(encoded) || !reader.Word(decoded)) return false;
    if (encoded == 0 && decoded == 0) break;  // the end of the list
    if (++reader.pairs > kZfsMaxPairs || encoded < kPairHeader ||
        encoded > reader.bytes.size() - start) {
      return false;
    }
    const size_t end = start + encoded;
    std::string name;
    uint32_t type = 0, count = 0;
    if (!reader.Text(name) || !reader.Word(type) || !reader.Word(count) || reader.at > end) {
      return false;
    }
    if (place == Place::kFeatures) label.featuresForRead.push_back(name);
    if (!ReadValue(reader, depth, place, name, type, count, end, label, found)) return false;
  }
  return true;
}

}  // namespace

bool IsZfsXdrHeader(std::string_view packed) {
  return packed.size() >= 4 && static_cast<uint8_t>(packed[0]) == kXdrEncoding &&
         static_cast<uint8_t>(packed[1]) <= 1 && packed[2] == 0 && packed[3] == 0;
}

bool ParseZfsLabel(std::string_view packed, ZfsLabel& label) {
  if (!IsZfsXdrHeader(packed)) return false;
  Reader reader{packed.substr(4)};
  ZfsLabel parsed;
  Found found;
  if (!ReadList(reader, 0, Place::kTop, parsed, found) || !found.version || !found.tree) {
    return false;
  }
  label = parsed;
  return true;
}

}  // namespace DiskIO

#include "disk/luks_header.h"

#include <algorithm>
#include <nlohmann/json.hpp>
#include <set>
#include <utility>

#include "base/bytes.h"
#include "base/sha256.h"
#include "disk/layout.h"

namespace DiskIO {

namespace {

using json = nlohmann::json;

constexpr size_t kFirstRead = Luks2Header::kJsonAreaStart;

uint64_t Version(const std::string& head) {
  if (FieldText(head, LuksHeader::kMagic) != Signature::kLuks) return 0;
  return BigEndianValue(head, LuksHeader::kVersion.offset, LuksHeader::kVersion.length);
}

// True when a LUKS2 header's checksum field holds the SHA-256 of the header with that field
// zeroed. Only "sha256", cryptsetup's default, is checked; another algorithm does not check out.
bool ChecksumMatches(const std::string& header) {
  const std::string algorithm = FieldText(header, Luks2Header::kChecksumAlgorithm);
  if (algorithm.substr(0, algorithm.find('\0')) != "sha256") return false;
  const Field field = Luks2Header::kChecksum;
  std::string zeroed = header;
  zeroed.replace(field.offset, field.length, field.length, '\0');
  const auto digest = Sha256(zeroed);
  std::string expected(field.length, '\0');
  std::copy(digest.begin(), digest.end(), expected.begin());
  return FieldText(header, field) == expected;
}

// Token numbers are decimal texts: "2" comes before "10".
bool TokenOrder(const std::string& a, const std::string& b) {
  return a.size() != b.size() ? a.size() < b.size() : a < b;
}

// Reads the key slots and tokens of a LUKS2 JSON area; false when they are not objects as
// cryptsetup writes them.
bool ReadJsonArea(const json& area, LuksKeys& keys) {
  if (!area.is_object()) return false;
  const auto keyslots = area.find("keyslots");
  const auto tokens = area.find("tokens");
  if (keyslots == area.end() || !keyslots->is_object() || tokens == area.end() ||
      !tokens->is_object()) {
    return false;
  }
  std::vector<std::pair<std::string, const json*>> ordered;
  for (const auto& item : tokens->items()) ordered.emplace_back(item.key(), &item.value());
  std::sort(ordered.begin(), ordered.end(),
            [](const auto& a, const auto& b) { return TokenOrder(a.first, b.first); });

  std::set<std::string> tokenSlots;
  for (const auto& numbered : ordered) {
    const json& token = *numbered.second;
    if (!token.is_object()) return false;
    LuksToken entry;
    const auto type = token.find("type");
    entry.type = type != token.end() && type->is_string() ? type->get<std::string>() : "unknown";
    const auto pin = token.find("tpm2-pin");
    entry.needsPin = pin != token.end() && pin->is_boolean() && pin->get<bool>();
    const auto slots = token.find("keyslots");
    if (slots != token.end() && slots->is_array()) {
      for (const json& slot : *slots) {
        if (slot.is_string()) tokenSlots.insert(slot.get<std::string>());
      }
    }
    keys.tokens.push_back(std::move(entry));
  }
  for (const auto& item : keyslots->items()) {
    if (!item.value().is_object()) return false;
    const auto type = item.value().find("type");
    const bool reencrypt = type != item.value().end() && *type == "reencrypt";
    if (!reencrypt && tokenSlots.count(item.key()) == 0) ++keys.plainKeySlots;
  }
  return true;
}

}  // namespace

bool ParseLuks1Header(const std::string& header, LuksKeys& keys) {
  using namespace Luks1Header;
  if (header.size() < kSize || Version(header) != 1) return false;
  LuksKeys parsed;
  parsed.version = 1;
  for (size_t slot = 0; slot < kKeySlotCount; ++slot) {
    const uint64_t state =
        BigEndianValue(header, kFirstKeySlot + slot * kKeySlotSize, kKeySlotStateLength);
    if (state == kKeySlotActive) {
      ++parsed.plainKeySlots;
    } else if (state != kKeySlotDisabled) {
      return false;
    }
  }
  keys = std::move(parsed);
  return true;
}

uint64_t Luks2HeaderSize(const std::string& head) {
  using namespace Luks2Header;
  if (Version(head) != 2) return 0;
  const uint64_t size = BigEndianValue(head, kHeaderSize.offset, kHeaderSize.length);
  const bool powerOfTwo = (size & (size - 1)) == 0;
  return powerOfTwo && size >= kMinHeaderSize && size <= kMaxHeaderSize ? size : 0;
}

bool ParseLuks2Header(const std::string& header, LuksKeys& keys) {
  const uint64_t size = Luks2HeaderSize(header);
  if (size == 0 || header.size() != size || !ChecksumMatches(header)) return false;
  return ParseLuks2JsonArea(header.substr(Luks2Header::kJsonAreaStart), keys);
}

bool ParseLuks2JsonArea(const std::string& text, LuksKeys& keys) {
  const size_t end = std::min(text.find('\0'), text.size());
  const json area = json::parse(text.begin(), text.begin() + end, nullptr, false);
  if (area.is_discarded()) return false;
  LuksKeys parsed;
  parsed.version = 2;
  if (!ReadJsonArea(area, parsed)) return false;
  keys = std::move(parsed);
  return true;
}

bool ReadLuksKeys(const ByteSource& read, LuksKeys& keys) {
  const std::string head = read(0, kFirstRead);
  if (head.size() < kFirstRead) return false;
  if (Version(head) == 1) return ParseLuks1Header(head, keys);
  const uint64_t size = Luks2HeaderSize(head);
  return size > 0 && ParseLuks2Header(read(0, static_cast<size_t>(size)), keys);
}

}  // namespace DiskIO

#include "platform/volume_names.h"

#include <cctype>
#include <cstring>

#include "base/bytes.h"

namespace {

struct NameRule {
  const char* prefix;
  const char* product;
};

// Device names made by the VeraCrypt and TrueCrypt drivers on Windows, one per mounted letter.
constexpr NameRule kDosDeviceRules[] = {
    {"\\Device\\VeraCryptVolume", "VeraCrypt"},
    {"\\Device\\TrueCryptVolume", "TrueCrypt"},
};

// The uuid prefixes cryptsetup gives the device-mapper devices it opens, by format.
constexpr NameRule kCryptUuidRules[] = {
    {"CRYPT-LUKS1-", "LUKS"},
    {"CRYPT-LUKS2-", "LUKS"},
    {"CRYPT-TCRYPT-", "TrueCrypt or VeraCrypt"},
    {"CRYPT-BITLK-", "BitLocker"},
    {"CRYPT-PLAIN-", "plain dm-crypt"},
};

// The device-mapper names VeraCrypt's and TrueCrypt's own tools give their volumes, followed by
// the slot number; they set no uuid.
constexpr NameRule kDeviceMapperNameRules[] = {
    {"veracrypt", "VeraCrypt"},
    {"truecrypt", "TrueCrypt"},
};

// The devices cryptsetup makes that show no decrypted contents: dm-integrity and dm-verity, the
// sub-devices of authenticated encryption, and its temporary devices.
constexpr const char* kNotDecryptingUuids[] = {"CRYPT-INTEGRITY-", "CRYPT-VERITY-", "CRYPT-SUBDEV-",
                                               "CRYPT-TEMP-"};

constexpr size_t kMountListLetters = 26;
constexpr size_t kMountListPathUnits = 260;

// True when `text` is `prefix` followed by one or more decimal digits and nothing else.
bool IsPrefixAndDigits(const std::string& text, const char* prefix) {
  const size_t length = strlen(prefix);
  if (text.size() <= length || text.compare(0, length, prefix) != 0) return false;
  for (size_t i = length; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
  }
  return true;
}

}  // namespace

std::string ProductFromDosDeviceTarget(const std::string& target) {
  for (const NameRule& rule : kDosDeviceRules) {
    if (StartsWithIgnoringCase(target, rule.prefix)) return rule.product;
  }
  return "";
}

std::string ProductFromDeviceMapper(const std::string& uuid, const std::string& name) {
  for (const NameRule& rule : kCryptUuidRules) {
    if (uuid.compare(0, strlen(rule.prefix), rule.prefix) == 0) return rule.product;
  }
  for (const NameRule& rule : kDeviceMapperNameRules) {
    if (IsPrefixAndDigits(name, rule.prefix)) return rule.product;
  }
  return "";
}

bool IsDecryptingMapper(const std::string& uuid, const std::string& name) {
  for (const char* prefix : kNotDecryptingUuids) {
    if (StartsWith(uuid, prefix)) return false;
  }
  return StartsWith(uuid, "CRYPT-") || !ProductFromDeviceMapper(uuid, name).empty();
}

std::vector<DriverMount> ParseDriverMountList(std::string_view answer) {
  std::vector<DriverMount> mounts;
  if (answer.size() < kMountListSharedBytes) return mounts;
  const uint64_t letters = LittleEndianValue(answer, 0, 4);
  for (size_t letter = 0; letter < kMountListLetters; ++letter) {
    if (((letters >> letter) & 1) == 0) continue;
    std::string host;
    const size_t path = 4 + letter * kMountListPathUnits * 2;
    for (size_t unit = 0; unit < kMountListPathUnits; ++unit) {
      const uint64_t code = LittleEndianValue(answer, path + 2 * unit, 2);
      if (code == 0) break;
      host += code >= 0x20 && code < 0x7F ? static_cast<char>(code) : '?';
    }
    mounts.push_back({static_cast<char>('A' + letter), host});
  }
  return mounts;
}

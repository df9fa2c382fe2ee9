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

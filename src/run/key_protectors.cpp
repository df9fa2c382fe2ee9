#include "run/key_protectors.h"

#include <iterator>
#include <string>
#include <vector>

#include "base/bytes.h"
#include "disk/layout.h"

namespace Module1 {

namespace {

// BitLocker's protection types, in the order the report lists them. The clear key, which
// leaves the volume master key unprotected, stands first.
struct BitLockerProtection {
  uint16_t protection;
  const char* name;
};
constexpr uint16_t kClearKey = 0x0000;
const BitLockerProtection kBitLockerProtections[] = {
    {kClearKey, "clear key"},
    {0x0100, "TPM"},
    {0x0500, "TPM and PIN"},
    {0x0300, "TPM and startup key"},
    {0x0700, "TPM, PIN and startup key"},
    {0x0200, "startup key"},
    {0x0800, "recovery password"},
    {0x2000, "password"},
    {0x1000, "smart card"},
};
const char kUnknownProtector[] = "unknown protector";

// LUKS2 token types that the report names for what they need.
struct LuksTokenName {
  const char* type;
  const char* name;
};
const LuksTokenName kLuksTokenNames[] = {
    {"systemd-tpm2", "TPM"},
    {"systemd-fido2", "FIDO2 key"},
    {"systemd-pkcs11", "smart card"},
    {"clevis", "clevis (TPM or network key server)"},
};
const char kPlainKeySlots[] = "passphrase or key file";

const char kClearKeyNote[] =
    "  - its protection is suspended: its key is stored in the clear, so it can be read without "
    "any secret.";
const char kListNote[] = "  - it can be unlocked with: ";

// The lines for BitLocker's encryption states other than "encrypted".
struct StateNote {
  const char* state;
  const char* note;
};
const StateNote kStateNotes[] = {
    {"encrypting", "  - encryption is in progress."},
    {"decrypting", "  - decryption is in progress."},
    {"paused", "  - it is only partly encrypted."},
};

// Adds `count` protectors called `name`: to the entry of that name, or as a new entry at the end.
void Add(std::vector<Protector>& protectors, const std::string& name, int32_t count) {
  if (count <= 0) return;
  for (Protector& protector : protectors) {
    if (protector.name == name) {
      protector.count += count;
      return;
    }
  }
  protectors.push_back({name, count});
}

// A token type as the report can show it: at most 64 characters, each printable ASCII or '?'.
// A header is disk bytes, and must not put line breaks or escape codes into the report.
std::string Printable(const std::string& type) {
  constexpr size_t kLongestName = 64;
  std::string name = type.substr(0, kLongestName);
  for (char& c : name) {
    if (c < 0x20 || c > 0x7E) c = '?';
  }
  return name;
}

std::string StateName(uint16_t current, uint16_t next) {
  switch (current) {
    case FveBlock::kStateEncrypted:
      return "encrypted";
    case FveBlock::kStateSwitching:
      return next == FveBlock::kStateDecrypted ? "decrypting" : "encrypting";
    case FveBlock::kStatePaused:
      return "paused";
  }
  return "unknown";
}

}  // namespace

UnlockFacts BitLockerUnlockFacts(const DiskIO::FveMetadata& metadata) {
  UnlockFacts facts;
  facts.read = true;
  std::vector<int32_t> counts(std::size(kBitLockerProtections), 0);
  int32_t unknown = 0;
  for (uint16_t protection : metadata.protections) {
    size_t kind = 0;
    while (kind < counts.size() && kBitLockerProtections[kind].protection != protection) ++kind;
    if (kind < counts.size()) {
      ++counts[kind];
    } else {
      ++unknown;
    }
  }
  for (size_t kind = 0; kind < counts.size(); ++kind) {
    Add(facts.protectors, kBitLockerProtections[kind].name, counts[kind]);
  }
  Add(facts.protectors, kUnknownProtector, unknown);
  facts.state = StateName(metadata.currentState, metadata.nextState);
  return facts;
}

UnlockFacts LuksUnlockFacts(const DiskIO::LuksKeys& keys) {
  UnlockFacts facts;
  facts.read = true;
  Add(facts.protectors, kPlainKeySlots, keys.plainKeySlots);
  for (const DiskIO::LuksToken& token : keys.tokens) {
    std::string name = Printable(token.type);
    for (const LuksTokenName& known : kLuksTokenNames) {
      if (token.type == known.type) name = known.name;
    }
    if (token.needsPin && token.type == kLuksTokenNames[0].type) name = "TPM and PIN";
    Add(facts.protectors, name, 1);
  }
  return facts;
}

std::vector<std::string> UnlockNotes(const std::string& kind, const UnlockFacts& facts) {
  std::vector<std::string> notes;
  if (!facts.read) return notes;
  std::string list;
  for (const Protector& protector : facts.protectors) {
    if (kind == "bitlocker" && protector.name == kBitLockerProtections[0].name) {
      notes.push_back(kClearKeyNote);
      continue;
    }
    list += list.empty() ? "" : ", ";
    list += protector.name;
    if (kind == "luks" && protector.count > 1) list += " (" + std::to_string(protector.count) + ")";
  }
  if (!list.empty()) notes.push_back(kListNote + list + ".");
  for (const StateNote& state : kStateNotes) {
    if (facts.state == state.state) notes.push_back(state.note);
  }
  return notes;
}

void AddUnlockFacts(DiskIO::Volume& volume, const SectorText& sector, Finding& finding) {
  if (finding.kind != "bitlocker" && finding.kind != "luks") return;
  volume.budget = DiskIO::kMetadataBudget;
  const ByteSource read = DiskIO::VolumeSource(volume);
  UnlockFacts facts;
  if (finding.kind == "bitlocker") {
    DiskIO::FveMetadata metadata;
    if (DiskIO::ReadFveMetadata(sector, read, metadata)) facts = BitLockerUnlockFacts(metadata);
  } else if (finding.kind == "luks") {
    DiskIO::LuksKeys keys;
    if (DiskIO::ReadLuksKeys(read, keys)) facts = LuksUnlockFacts(keys);
  } else {
    return;
  }
  for (std::string& note : UnlockNotes(finding.kind, facts)) finding.notes.push_back(note);
  finding.unlock = facts;
}

}  // namespace Module1

// Key protectors and encryption state, read from synthetic FVE metadata blocks written from
// BitLocker's published layout and from LUKS headers built in memory: what each parser accepts,
// what a damaged or lying block gives, which bytes are read, and the lines a finding gets.
#include "run/key_protectors.h"

#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/sha256.h"
#include "disk/bitlocker_metadata.h"
#include "disk/luks_header.h"

namespace {

using Protectors = std::vector<std::pair<std::string, int32_t>>;

std::string Little(uint64_t value, int bytes) {
  std::string text;
  for (int i = 0; i < bytes; ++i) text += static_cast<char>((value >> (8 * i)) & 0xFF);
  return text;
}

std::string Big(uint64_t value, int bytes) {
  std::string text;
  for (int i = bytes - 1; i >= 0; --i) text += static_cast<char>((value >> (8 * i)) & 0xFF);
  return text;
}

std::string Hex(const std::array<uint8_t, 32>& digest) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (uint8_t byte : digest) text += {kDigits[byte >> 4], kDigits[byte & 0xF]};
  return text;
}

Protectors Names(const UnlockFacts& facts) {
  Protectors names;
  for (const Protector& protector : facts.protectors)
    names.emplace_back(protector.name, protector.count);
  return names;
}

// An FVE metadata entry: size (with its 8-byte header), type, value type, version 1, data.
std::string Entry(uint16_t type, uint16_t value, const std::string& data) {
  return Little(8 + data.size(), 2) + Little(type, 2) + Little(value, 2) + Little(1, 2) + data;
}

// A volume master key entry guarded by `protection`, holding an AES-CCM encrypted key.
std::string Vmk(uint16_t protection) {
  return Entry(2, 8,
               std::string(24, '\x01') + Little(0, 2) + Little(protection, 2) +
                   Entry(0, 5, std::string(72, '\x11')));
}

std::string Vmks(const std::vector<uint16_t>& protections) {
  std::string entries;
  for (uint16_t protection : protections) entries += Vmk(protection);
  return entries + Entry(3, 5, std::string(72, '\x33'));  // the encrypted volume key
}

// An FVE metadata block holding `entries`; its metadata size is `metadataSize` when given.
std::string Block(const std::string& entries, uint16_t current = 4, uint16_t next = 4,
                  uint16_t version = 2, std::optional<uint32_t> metadataSize = std::nullopt) {
  const uint32_t size = metadataSize.value_or(static_cast<uint32_t>(48 + entries.size()));
  return "-FVE-FS-" + Little(0, 2) + Little(version, 2) + Little(current, 2) + Little(next, 2) +
         std::string(48, '\0') + Little(size, 4) + Little(1, 4) + Little(48, 4) + Little(size, 4) +
         std::string(32, '\x77') + entries;
}

// A BitLocker volume in memory: its first sector names three copies at 64, 128 and 192 KiB.
struct Volume {
  std::string bytes = std::string(256 * 1024, '\0');
  std::vector<std::pair<uint64_t, size_t>> reads;

  explicit Volume(const std::vector<std::string>& copies) {
    Put(0, "\xEB\x58\x90-FVE-FS-");
    for (size_t copy = 0; copy < 3; ++copy) {
      Put(176 + 8 * copy, Little(65536 * (copy + 1), 8));
      if (copy < copies.size()) Put(65536 * (copy + 1), copies[copy]);
    }
  }
  void Put(size_t offset, const std::string& data) { bytes.replace(offset, data.size(), data); }
  ByteSource Reader() {
    return [this](uint64_t offset, size_t count) {
      reads.emplace_back(offset, count);
      return offset + count <= bytes.size() ? bytes.substr(offset, count) : std::string();
    };
  }
  std::optional<UnlockFacts> Facts() {
    DiskIO::FveMetadata metadata;
    if (!DiskIO::ReadFveMetadata(bytes.substr(0, 512), Reader(), metadata)) return std::nullopt;
    return Module1::BitLockerUnlockFacts(metadata);
  }
};

TEST(Sha256, KnownDigests) {
  const std::pair<std::string, const char*> cases[] = {
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto& [input, digest] : cases) EXPECT_EQ(Hex(Sha256(input)), digest);
  // Lengths around the padding boundaries, each byte (7i + 3) mod 256.
  const std::pair<size_t, const char*> lengths[] = {
      {0, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {55, "e7313d333c272e639f790978283f9eb392e843d0f29b7016828bb1daa4aac70b"},
      {56, "4324d65f3c103567f5589c710bc08f8523f929a9272e3af36fc968e52abc6c27"},
      {63, "81c80242132f230c3bd41b3e63bbcff16107339549214a99614ff26664625055"},
      {64, "39e3d7b6b5d075d37d053ad89b24b41bef4f3c29760c84447cab3f3be1882241"},
      {65, "aacca6ff74fdbb296d165a45cecfa04e5127bc008770fbbdd48006f2d2fae95e"},
      {119, "9ce7368e4daf32341631b492e80359dc9f594b48453cd0dd5bf0b19279cc177e"},
      {120, "7836b787757e95e58b3ca5aec90b1b004e8deba1e50e9675af9cabf1a13a04b5"},
  };
  for (const auto& [length, digest] : lengths) {
    std::string input;
    for (size_t i = 0; i < length; ++i) input += static_cast<char>((i * 7 + 3) & 0xFF);
    EXPECT_EQ(Hex(Sha256(input)), digest) << length;
  }
}

TEST(FveMetadata, ProtectorsAndStates) {
  const struct {
    const char* what;
    std::vector<uint16_t> protections;
    uint16_t current, next;
    Protectors protectors;
    const char* state;
  } cases[] = {
      {"TPM", {0x0100}, 4, 4, {{"TPM", 1}}, "encrypted"},
      {"TPM and PIN", {0x0500}, 4, 4, {{"TPM and PIN", 1}}, "encrypted"},
      {"TPM and startup key", {0x0300}, 4, 4, {{"TPM and startup key", 1}}, "encrypted"},
      {"all three", {0x0700}, 4, 4, {{"TPM, PIN and startup key", 1}}, "encrypted"},
      {"startup key", {0x0200}, 4, 4, {{"startup key", 1}}, "encrypted"},
      {"recovery password", {0x0800}, 4, 4, {{"recovery password", 1}}, "encrypted"},
      {"password", {0x2000}, 4, 4, {{"password", 1}}, "encrypted"},
      {"smart card", {0x1000}, 4, 4, {{"smart card", 1}}, "encrypted"},
      {"report order, counted",
       {0x2000, 0x0800, 0x0100, 0x0800},
       4,
       4,
       {{"TPM", 1}, {"recovery password", 2}, {"password", 1}},
       "encrypted"},
      {"clear key first",
       {0x0800, 0x0000},
       4,
       4,
       {{"clear key", 1}, {"recovery password", 1}},
       "encrypted"},
      {"unknown type last",
       {0x4000, 0x0100},
       4,
       4,
       {{"TPM", 1}, {"unknown protector", 1}},
       "encrypted"},
      {"no key at all", {}, 4, 4, {}, "encrypted"},
      {"encrypting", {0x0100}, 2, 4, {{"TPM", 1}}, "encrypting"},
      {"decrypting", {0x0000}, 2, 1, {{"clear key", 1}}, "decrypting"},
      {"paused decryption", {0x0100}, 5, 1, {{"TPM", 1}}, "paused"},
      {"paused encryption", {0x0100}, 5, 4, {{"TPM", 1}}, "paused"},
      {"decrypted", {0x0100}, 1, 1, {{"TPM", 1}}, "unknown"},
  };
  for (const auto& row : cases) {
    Volume volume({Block(Vmks(row.protections), row.current, row.next)});
    const std::optional<UnlockFacts> facts = volume.Facts();
    ASSERT_TRUE(facts) << row.what;
    EXPECT_EQ(Names(*facts), row.protectors) << row.what;
    EXPECT_EQ(facts->state, row.state) << row.what;
  }
}

TEST(FveMetadata, DamagedCopiesAndLyingSizes) {
  const std::string good = Block(Vmks({0x0100}));
  const std::string second = Block(Vmks({0x0800}));
  const std::string vmk = Vmk(0x2000);
  const struct {
    const char* what;
    std::string first;
    Protectors protectors;  // empty: from the second copy
  } cases[] = {
      {"a good first copy", good, {{"TPM", 1}}},
      {"wrong signature", "-FVE-FX-" + good.substr(8), {}},
      {"version 3", Block(Vmks({0x0100}), 4, 4, 3), {}},
      {"Windows Vista's version 1", Block(Vmks({0x0100}), 4, 4, 1), {{"TPM", 1}}},
      {"metadata past 64 KiB", Block(Vmks({0x0100}), 4, 4, 2, 65536 - 63), {}},
      {"metadata smaller than its header", Block("", 4, 4, 2, 47), {}},
      {"an entry larger than the rest", Block(vmk.substr(0, 20)), {}},
      {"an entry smaller than its header", Block(Little(4, 2) + std::string(20, '\0')), {}},
      {"a key entry too short for its protection", Block(Entry(2, 8, std::string(26, '\0'))), {}},
      {"metadata that cuts an entry", Block(vmk, 4, 4, 2, 48 + 40), {}},
      {"metadata that ends before an entry",
       Block(vmk + vmk, 4, 4, 2, 48 + vmk.size()),
       {{"password", 1}}},
      {"a zero size ends the entries",
       Block(vmk + std::string(8, '\0') + Vmk(0x0100)),
       {{"password", 1}}},
  };
  for (const auto& row : cases) {
    Volume volume({row.first, second});
    const std::optional<UnlockFacts> facts = volume.Facts();
    ASSERT_TRUE(facts) << row.what;
    const Protectors fromSecond = {{"recovery password", 1}};
    EXPECT_EQ(Names(*facts), row.protectors.empty() ? fromSecond : row.protectors) << row.what;
  }
  Volume damaged({"junk", "-FVE-FS-", Block(Vmks({0x0100}), 4, 4, 7)});
  EXPECT_FALSE(damaged.Facts());
}

TEST(FveMetadata, ReadsNothingPastTheDeclaredBlock) {
  const std::string block = Block(Vmks({0x0100, 0x0800}));
  Volume volume({"-FVE-FX-", block + std::string(1000, '\x55')});
  ASSERT_TRUE(volume.Facts());
  // The first copy's header, then the second's header and the second copy as it declares itself.
  const std::vector<std::pair<uint64_t, size_t>> reads = {
      {65536, 112}, {131072, 112}, {131072, block.size()}};
  EXPECT_EQ(volume.reads, reads);
  EXPECT_EQ(DiskIO::FveBlockSize(Block("", 4, 4, 2, 65536 - 64)), 65536u);
  EXPECT_EQ(DiskIO::FveBlockSize(Block("", 4, 4, 2, 65536 - 63)), 0u);
}

TEST(FveMetadata, OffsetsByVolumeKind) {
  std::string windows7(512, '\0'), vista(512, '\0'), toGo(512, '\0'), tooFar(512, '\0');
  windows7.replace(0, 11, "\xEB\x58\x90-FVE-FS-");
  windows7.replace(176, 24, Little(0x100000, 8) + Little(0, 8) + Little(0x300000, 8));
  vista.replace(0, 11, "\xEB\x52\x90-FVE-FS-");
  vista.replace(11, 3, Little(512, 2) + "\x08");
  vista.replace(56, 8, Little(0x1234, 8));
  toGo.replace(0, 11, "\xEB\x58\x90MSWIN4.1");
  toGo.replace(440, 24, Little(0x10000, 8) + Little(0x20000, 8) + Little(0x30000, 8));
  tooFar = vista;
  tooFar.replace(56, 8, Little(uint64_t{1} << 60, 8));
  EXPECT_EQ(DiskIO::FveMetadataOffsets(windows7), (std::vector<uint64_t>{0x100000, 0x300000}));
  EXPECT_EQ(DiskIO::FveMetadataOffsets(vista), (std::vector<uint64_t>{0x1234 * 4096}));
  EXPECT_EQ(DiskIO::FveMetadataOffsets(toGo), (std::vector<uint64_t>{0x10000, 0x20000, 0x30000}));
  EXPECT_TRUE(DiskIO::FveMetadataOffsets(tooFar).empty());
  EXPECT_TRUE(DiskIO::FveMetadataOffsets(std::string(11, '\0')).empty());
}

// A LUKS2 header of `size` bytes around `json`, its checksum computed unless `checksum` is false.
std::string Luks2(const std::string& json, uint64_t size = 16384, bool checksum = true,
                  const std::string& algorithm = "sha256") {
  std::string header(static_cast<size_t>(size), '\0');
  header.replace(0, 16, std::string("LUKS\xBA\xBE", 6) + Big(2, 2) + Big(size, 8));
  header.replace(72, algorithm.size(), algorithm);
  header.replace(4096, json.size(), json);
  const auto digest = Sha256(header);
  if (checksum) header.replace(448, 32, std::string(digest.begin(), digest.end()));
  return header;
}

std::optional<Protectors> LuksNames(const std::string& header) {
  DiskIO::LuksKeys keys;
  const ByteSource read = [&header](uint64_t offset, size_t count) {
    return offset + count <= header.size() ? header.substr(offset, count) : std::string();
  };
  if (!DiskIO::ReadLuksKeys(read, keys)) return std::nullopt;
  return Names(Module1::LuksUnlockFacts(keys));
}

TEST(LuksHeader, KeySlotsAndTokens) {
  const std::string slots = R"("keyslots":{"0":{"type":"luks2"},"1":{"type":"luks2"},)"
                            R"("2":{"type":"luks2"}},)";
  const struct {
    const char* what;
    std::string json;
    Protectors protectors;
  } cases[] = {
      {"three passphrases", "{" + slots + R"("tokens":{}})", {{"passphrase or key file", 3}}},
      {"TPM and FIDO2 tokens",
       "{" + slots +
           R"("tokens":{"0":{"type":"systemd-tpm2","keyslots":["1"]},)"
           R"("1":{"type":"systemd-fido2","keyslots":["2"]}}})",
       {{"passphrase or key file", 1}, {"TPM", 1}, {"FIDO2 key", 1}}},
      {"TPM with a PIN",
       "{" + slots + R"("tokens":{"0":{"type":"systemd-tpm2","tpm2-pin":true,"keyslots":["0"]}}})",
       {{"passphrase or key file", 2}, {"TPM and PIN", 1}}},
      {"token order is numeric, equal kinds counted",
       "{" + slots +
           R"("tokens":{"10":{"type":"clevis","keyslots":["0"]},"2":{"type":"systemd-pkcs11",)"
           R"("keyslots":["1"]},"3":{"type":"clevis","keyslots":["2"]}}})",
       {{"smart card", 1}, {"clevis (TPM or network key server)", 2}}},
      {"other token types by name",
       R"({"keyslots":{"0":{"type":"luks2"}},"tokens":{"0":{"type":"luks2-keyring"}}})",
       {{"passphrase or key file", 1}, {"luks2-keyring", 1}}},
      {"reencryption's key slot is no way in",
       R"({"keyslots":{"0":{"type":"luks2"},"1":{"type":"reencrypt"}},"tokens":{}})",
       {{"passphrase or key file", 1}}},
      {"no key slot", R"({"keyslots":{},"tokens":{}})", {}},
      {"a type with line breaks and escape codes",
       R"({"keyslots":{},"tokens":{"0":{"type":"a\r\nb\u001b[31m\u00e9"}}})",
       {{"a??b?[31m??", 1}}},
  };
  for (const auto& row : cases) EXPECT_EQ(LuksNames(Luks2(row.json)), row.protectors) << row.what;

  std::string luks1(4096, '\0');
  luks1.replace(0, 8, std::string("LUKS\xBA\xBE\0\x01", 8));
  for (size_t slot = 0; slot < 8; ++slot) {
    luks1.replace(208 + 48 * slot, 4, Big(slot == 2 || slot == 5 ? 0x00AC71F3 : 0x0000DEAD, 4));
  }
  EXPECT_EQ(LuksNames(luks1), (Protectors{{"passphrase or key file", 2}}));
  luks1.replace(208 + 48 * 7, 4, Big(0x12345678, 4));
  EXPECT_EQ(LuksNames(luks1), std::nullopt) << "a key slot neither active nor disabled";
}

TEST(LuksHeader, HeadersThatDoNotCheckOutGiveNothing) {
  const std::string json = R"({"keyslots":{"0":{"type":"luks2"}},"tokens":{}})";
  std::string flipped = Luks2(json);
  flipped[4096 + json.find("luks2") + 4] = '3';  // still JSON, but not what was summed
  const struct {
    const char* what;
    std::string header;
  } cases[] = {
      {"no checksum", Luks2(json, 16384, false)},
      {"a changed byte", flipped},
      {"another checksum algorithm", Luks2(json, 16384, true, "sha1")},
      {"a size that is no power of two", Luks2(json, 20480)},
      {"a size past 4 MiB", Luks2(json, 8 << 20)},
      {"JSON that does not parse", Luks2(R"({"keyslots":{)")},
      {"JSON that is no object", Luks2("[1,2]")},
      {"no tokens", Luks2(R"({"keyslots":{}})")},
      {"a key slot that is no object", Luks2(R"({"keyslots":{"0":7},"tokens":{}})")},
      {"deep nesting", Luks2(std::string(6000, '[') + std::string(6000, ']'))},
  };
  for (const auto& row : cases) EXPECT_EQ(LuksNames(row.header), std::nullopt) << row.what;
  EXPECT_EQ(LuksNames(Luks2(json, 4 << 20)), (Protectors{{"passphrase or key file", 1}}));
}

}  // namespace

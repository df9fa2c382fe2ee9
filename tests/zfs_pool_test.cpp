// ZFS pools built here from OpenZFS's published on-disk format: label configurations packed in
// XDR (whole, damaged, cut short, nested deep), the compressions of metadata blocks (LZ4 checked
// against the real lz4 tool), and pools whose uberblock leads through the meta-object set to the
// count of encrypted datasets, in the shapes real pools take.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "disk/zfs_compression.h"
#include "disk/zfs_label.h"
#include "disk/zfs_pool.h"
#include "run/file_system_encryption.h"

namespace {

using DiskIO::ZfsEncryption;
using DiskIO::ZfsLabel;

constexpr uint64_t kKiB = 1024;
constexpr uint64_t kMiB = 1024 * kKiB;

// `value` in `length` bytes; bytes past the eighth are zero.
std::string BigEndian(uint64_t value, size_t length) {
  std::string bytes(length, '\0');
  for (size_t i = 0; i < length && i < 8; ++i) {
    bytes[length - 1 - i] = static_cast<char>(value >> (8 * i));
  }
  return bytes;
}

std::string LittleEndian(uint64_t value, size_t length) {
  std::string bytes(length, '\0');
  for (size_t i = 0; i < length && i < 8; ++i) bytes[i] = static_cast<char>(value >> (8 * i));
  return bytes;
}

// XDR, as OpenZFS packs an nvlist: a string is its length, its bytes and zeros to a multiple of 4;
// a pair its encoded size (and, unchecked, its decoded size), name, type, count and value; a list
// its version 0, its flags, its pairs and two zero words.
std::string XdrString(const std::string& text) {
  return BigEndian(text.size(), 4) + text + std::string((4 - text.size() % 4) % 4, '\0');
}

std::string Pair(const std::string& name, uint32_t type, uint32_t count, const std::string& value) {
  const std::string body = XdrString(name) + BigEndian(type, 4) + BigEndian(count, 4) + value;
  return BigEndian(body.size() + 8, 4) + BigEndian(body.size() + 99, 4) + body;
}

std::string List(const std::vector<std::string>& pairs) {
  std::string list = BigEndian(0, 4) + BigEndian(1, 4);
  for (const std::string& pair : pairs) list += pair;
  return list + std::string(8, '\0');
}

std::string Number(const std::string& name, uint64_t value) {
  return Pair(name, 8, 1, BigEndian(value, 8));
}

std::string Text(const std::string& name, const std::string& value) {
  return Pair(name, 9, 1, XdrString(value));
}

std::string Nested(const std::string& name, const std::string& list) {
  return Pair(name, 19, 1, list);
}

const std::string kHeader{"\x01\x01\0\0", 4};

// A label's configuration as `zpool create` writes it for a pool on one disk.
std::string LabelConfig(uint64_t version, const std::string& type,
                        const std::vector<std::string>& features, bool withFeatures = true) {
  std::vector<std::string> featurePairs;
  for (const std::string& feature : features) featurePairs.push_back(Pair(feature, 1, 0, ""));
  std::vector<std::string> pairs = {
      Number("version", version),
      Text("name", "tank"),
      Number("state", 0),
      Number("txg", 4),
      Number("pool_guid", 0x1234567890ABCDEF),
      Pair("hostid", 8, 1, BigEndian(0x7F01, 8)),
      Text("hostname", "evidence"),
      Number("top_guid", 0x42),
      Number("guid", 0x42),
      Nested("vdev_tree",
             List({Text("type", type), Number("id", 0), Number("guid", 0x42),
                   Text("path", "/dev/sdb1"), Number("ashift", 12), Number("asize", 64 * kMiB),
                   Pair("children", 20, 2, List({Text("type", "disk")}) + List({}))})),
      Pair("errata", 8, 1, BigEndian(0, 8)),
      Pair("vdev_stats", 16, 3, BigEndian(3, 4) + std::string(24, '\x07')),
      Pair("paths", 17, 2, XdrString("/dev/sdb1") + XdrString("/dev/sdc1")),
  };
  if (withFeatures) pairs.push_back(Nested("features_for_read", List(featurePairs)));
  return kHeader + List(pairs);
}

std::string Describe(const std::string& packed) {
  ZfsLabel label;
  if (!DiskIO::ParseZfsLabel(packed, label)) return "no label";
  std::string text = "v" + std::to_string(label.version) + " " + label.topVdevType + " " +
                     std::to_string(label.topVdevId);
  for (const std::string& feature : label.featuresForRead) text += " " + feature;
  return text;
}

// Lists `depth` deep, each holding the next, the innermost holding one number.
std::string Deep(int depth) {
  std::string list = List({Number("leaf", 1)});
  for (int i = 0; i < depth; ++i) list = List({Nested("inner", list)});
  return list;
}

TEST(ZfsLabels, ConfigurationsWholeDamagedAndDeep) {
  const std::string good = LabelConfig(5000, "mirror", {"com.delphix:hole_birth"});
  std::string wrongSize = good;
  wrongSize[4 + 8 + 3] += 4;  // the first pair's encoded size, four bytes too large
  std::string shortSize = good;
  shortSize[4 + 8 + 3] = 12;  // too small for any pair
  std::string listVersion = good;
  listVersion[4 + 3] = 1;  // an nvlist of version 1
  const std::string pairs = List({Number("version", 28), Nested("vdev_tree", List({}))});
  const struct {
    const char* what;
    std::string packed;
    const char* described;
  } cases[] = {
      {"a mirror member", good, "v5000 mirror 0 com.delphix:hole_birth"},
      {"encryption listed",
       LabelConfig(5000, "disk", {"com.delphix:hole_birth", "com.datto:encryption"}),
       "v5000 disk 0 com.delphix:hole_birth com.datto:encryption"},
      {"no features_for_read", LabelConfig(28, "raidz", {}, false), "v28 raidz 0"},
      {"the least a label holds", kHeader + pairs, "v28  0"},
      {"native encoding", std::string("\x00\x01\0\0", 4) + pairs, "no label"},
      {"reserved bytes set", std::string("\x01\x01\0\x01", 4) + pairs, "no label"},
      {"a pair larger than it is", wrongSize, "no label"},
      {"a pair smaller than a pair", shortSize, "no label"},
      {"an nvlist of version 1", listVersion, "no label"},
      {"without vdev_tree", kHeader + List({Number("version", 28)}), "no label"},
      {"without version", kHeader + List({Nested("vdev_tree", List({}))}), "no label"},
      {"version as text", kHeader + List({Text("version", "28"), Nested("vdev_tree", List({}))}),
       "no label"},
      {"version with two values",
       kHeader + List({Pair("version", 8, 2, BigEndian(28, 16)), Nested("vdev_tree", List({}))}),
       "no label"},
      {"vdev_tree as a list array",
       kHeader + List({Number("version", 28), Pair("vdev_tree", 20, 1, List({}))}), "no label"},
      {"no end marker", (kHeader + pairs).substr(0, 4 + pairs.size() - 8), "no label"},
      {"nested as deep as allowed",
       kHeader + List({Number("version", 1), Nested("vdev_tree", List({})),
                       Nested("x", Deep(DiskIO::kZfsMaxNesting - 1))}),
       "v1  0"},
      {"nested one deeper",
       kHeader + List({Number("version", 1), Nested("vdev_tree", List({})),
                       Nested("x", Deep(DiskIO::kZfsMaxNesting))}),
       "no label"},
      {"empty", "", "no label"},
  };
  for (const auto& c : cases) EXPECT_EQ(Describe(c.packed), c.described) << c.what;

  // Cut short anywhere, a label never parses; it is read only within the bytes given.
  for (size_t length = 0; length < good.size(); ++length) {
    EXPECT_EQ(Describe(good.substr(0, length)), "no label") << "cut at " << length;
  }
}

TEST(ZfsLabels, PairsAreCountedAcrossLists) {
  const auto withPairs = [](size_t count) {
    std::vector<std::string> many;
    for (size_t i = 0; i + 2 < count; ++i) many.push_back(Pair("b", 1, 0, ""));
    return kHeader + List({Number("version", 5000), Nested("vdev_tree", List(many))});
  };
  EXPECT_EQ(Describe(withPairs(DiskIO::kZfsMaxPairs)), "v5000  0");
  EXPECT_EQ(Describe(withPairs(DiskIO::kZfsMaxPairs + 1)), "no label");
}

// An LZ4 block of literals only, after ZFS's big-endian length.
std::string Lz4Literals(const std::string& data) {
  std::string block;
  size_t length = data.size();
  block += static_cast<char>((length >= 15 ? 15 : length) << 4);
  if (length >= 15) {
    for (length -= 15; length >= 255; length -= 255) block += '\xFF';
    block += static_cast<char>(length);
  }
  block += data;
  return BigEndian(block.size(), 4) + block;
}

// LZ4 in ZFS's form that stores each run of eight or more repeats of a byte as a match one
// byte back, and everything else as literals: enough to make a mostly empty block small.
std::string Lz4Runs(const std::string& data) {
  std::string block;
  const auto sequence = [&block](const std::string& literals, size_t match) {
    const size_t extra = match >= 4 ? match - 4 : 0;
    block += static_cast<char>((std::min<size_t>(literals.size(), 15) << 4) |
                               (match >= 4 ? std::min<size_t>(extra, 15) : 0));
    if (literals.size() >= 15) {
      size_t length = literals.size() - 15;
      for (; length >= 255; length -= 255) block += '\xFF';
      block += static_cast<char>(length);
    }
    block += literals;
    if (match < 4) return;
    block += std::string("\x01\x00", 2);
    if (extra >= 15) {
      size_t length = extra - 15;
      for (; length >= 255; length -= 255) block += '\xFF';
      block += static_cast<char>(length);
    }
  };
  std::string literals;
  for (size_t i = 0; i < data.size();) {
    size_t run = 0;
    while (i > 0 && i + run < data.size() && data[i + run] == data[i - 1]) ++run;
    if (run >= 8) {
      sequence(literals, run);
      literals.clear();
      i += run;
    } else {
      literals += data[i++];
    }
  }
  sequence(literals, 0);
  return BigEndian(block.size(), 4) + block;
}

// LZJB of literals only: a copy map of zeros before every eight bytes.
std::string LzjbLiterals(const std::string& data) {
  std::string out;
  for (size_t i = 0; i < data.size(); i += 8) out += '\0' + data.substr(i, 8);
  return out;
}

// Returns what the real lz4 tool makes of `data` as the one block of a frame, in ZFS's form, or
// an empty text when the tool is not here or stores the block uncompressed.
std::string Lz4ByTheTool(const std::string& data) {
  char name[] = "/tmp/tvx-lz4-XXXXXX";
  const int fd = mkstemp(name);
  if (fd < 0) return "";
  FILE* file = fdopen(fd, "wb");
  fwrite(data.data(), 1, data.size(), file);
  fclose(file);
  FILE* tool =
      popen(("lz4 -z -c -q -B4 --no-frame-crc " + std::string(name) + " 2>/dev/null").c_str(), "r");
  std::string frame;
  char chunk[4096];
  for (size_t n; tool != nullptr && (n = fread(chunk, 1, sizeof chunk, tool)) > 0;)
    frame.append(chunk, n);
  if (tool != nullptr) pclose(tool);
  std::remove(name);
  // The frame: magic, flags (bit 3: the content size follows, bit 0: a dictionary id), block
  // descriptor, header checksum; then the block's size, its top bit set when stored as is.
  if (frame.size() < 7 || frame.compare(0, 4, "\x04\x22\x4D\x18") != 0) return "";
  const uint8_t flags = static_cast<uint8_t>(frame[4]);
  const size_t block = 7 + ((flags & 8) ? 8 : 0) + ((flags & 1) ? 4 : 0);
  if (frame.size() < block + 4) return "";
  uint64_t size = 0;
  for (int i = 3; i >= 0; --i) size = size << 8 | static_cast<uint8_t>(frame[block + i]);
  if ((size >> 31) != 0 || frame.size() < block + 4 + size) return "";
  return BigEndian(size, 4) + frame.substr(block + 4, size);
}

TEST(ZfsCompression, BlocksDecodeOrAreRefused) {
  std::string text;
  for (int i = 0; i < 300; ++i) text += "features_for_read " + std::to_string(i % 7) + " ";
  const std::string real = Lz4ByTheTool(text);
  ASSERT_FALSE(real.empty()) << "the lz4 tool (Debian's lz4) must be installed";
  ASSERT_LT(real.size(), text.size() / 2) << "the tool compressed nothing";
  const uint8_t kOff = DiskIO::kZfsCompressOff, kLz4 = DiskIO::kZfsCompressLz4,
                kLzjb = DiskIO::kZfsCompressLzjb;
  const std::string lzjbMatch = std::string("\x04", 1) + "ab" + std::string("\x0C\x02", 2);
  const struct {
    const char* what;
    uint8_t compression;
    std::string in;
    size_t size;
    const char* out;  // nullptr: refused
  } cases[] = {
      {"stored as is", kOff, "abcdef", 4, "abcd"},
      {"stored, shorter than its size", kOff, "abc", 4, nullptr},
      {"empty", DiskIO::kZfsCompressEmpty, "", 3, "\0\0\0"},
      {"LZ4 literals, padded to the size", kLz4, Lz4Literals("hello"), 8, "hello\0\0\0"},
      {"LZ4 literals past the size", kLz4, Lz4Literals("hello"), 4, nullptr},
      {"LZ4 with an overlapping match", kLz4,
       BigEndian(5, 4) + std::string("\x12", 1) + "a" + std::string("\x01\x00\x00", 3), 7,
       "aaaaaaa"},
      {"LZ4 match before the start", kLz4,
       BigEndian(5, 4) + std::string("\x10", 1) + "a" + std::string("\x02\x00", 2) + "\x00", 9,
       nullptr},
      {"LZ4 match at offset 0", kLz4,
       BigEndian(5, 4) + std::string("\x10", 1) + "a" + std::string("\x00\x00", 2) + "\x00", 9,
       nullptr},
      {"LZ4 length past its input", kLz4, BigEndian(100, 4) + "\x10" + "a", 1, nullptr},
      {"LZ4 literals cut short", kLz4, BigEndian(2, 4) + std::string("\x50", 1) + "a", 5, nullptr},
      {"LZ4 long length cut short", kLz4, BigEndian(2, 4) + std::string("\xF0\xFF", 2), 999,
       nullptr},
      {"LZJB literals", kLzjb, LzjbLiterals("0123456789"), 10, "0123456789"},
      {"LZJB match", kLzjb, lzjbMatch, 8, "abababab"},
      {"LZJB match cut at the size", kLzjb, lzjbMatch, 5, "ababa"},
      {"LZJB input ends early", kLzjb, LzjbLiterals("0123"), 5, nullptr},
      {"LZJB match before the start", kLzjb, std::string("\x01\x0C\x05", 3), 6, nullptr},
      {"gzip", 5, "x", 1, nullptr},
  };
  for (const auto& c : cases) {
    std::string out = "untouched";
    const bool decoded = DiskIO::ZfsDecompress(c.compression, c.in, c.size, out);
    if (c.out == nullptr) {
      EXPECT_FALSE(decoded) << c.what;
      EXPECT_EQ(out, "untouched") << c.what;
    } else {
      EXPECT_TRUE(decoded) << c.what;
      EXPECT_EQ(out, std::string(c.out, c.size)) << c.what;
    }
  }
  std::string out;
  EXPECT_TRUE(DiskIO::ZfsDecompress(kLz4, real, text.size(), out));
  EXPECT_EQ(out, text);
}

// A pool on one vdev of 8 MiB, built block by block as OpenZFS lays one out, in the byte order
// `bigEndian` names: labels 0 and 2, an uberblock ring, and the meta-object set from 4 MiB.
struct Pool {
  bool bigEndian = false;
  uint64_t vdev = 0;  // the top-level vdev its pointers name
  std::string image = std::string(8 * kMiB, '\0');
  uint64_t next = 0;  // the next free byte of the data area

  std::string Word(uint64_t value, size_t length = 8) const {
    return bigEndian ? BigEndian(value, length) : LittleEndian(value, length);
  }

  void Put(uint64_t offset, const std::string& bytes) {
    image.replace(offset, bytes.size(), bytes);
  }

  // A block pointer's properties word: sizes, compression, type, level, byte order.
  uint64_t Properties(size_t logical, size_t physical, uint8_t compression, uint8_t level) const {
    return (logical / 512 - 1) | (uint64_t{physical / 512 - 1} << 16) |
           (uint64_t{compression} << 32) | (uint64_t{10} << 48) | (uint64_t{level} << 56) |
           (bigEndian ? 0 : uint64_t{1} << 63);
  }

  // Stores `stored` in the data area as a block of `logical` bytes; returns its pointer.
  std::string Block(const std::string& stored, size_t logical,
                    uint8_t compression = DiskIO::kZfsCompressOff, uint8_t level = 0) {
    const size_t physical = (stored.size() + 511) / 512 * 512;
    Put(4 * kMiB + next, stored);
    std::string pointer = Word(vdev << 32 | physical / 512) + Word(next / 512);
    pointer += std::string(32, '\0');  // the other two copies: none
    pointer += Word(Properties(logical, physical, compression, level));
    pointer += Word(0) + Word(0) + Word(7) + Word(7) + Word(1) + std::string(32, '\x5A');
    next += physical;
    return pointer;
  }

  // A pointer that holds `stored`, the block of `logical` bytes compressed by `compression`,
  // itself: in every word but the properties (6) and the birth (10), low byte first.
  std::string Embedded(const std::string& stored, size_t logical, uint8_t compression) const {
    const std::string padded = stored + std::string(112 - stored.size(), '\0');
    std::string pointer;
    size_t used = 0;
    for (size_t word = 0; word < 16; ++word) {
      uint64_t value = 7;  // the birth
      if (word == 6) {
        value = (logical - 1) | uint64_t{stored.size() - 1} << 25 | uint64_t{compression} << 32 |
                uint64_t{1} << 39 | (bigEndian ? 0 : uint64_t{1} << 63);
      } else if (word != 10) {
        value = 0;
        for (int byte = 7; byte >= 0; --byte) {
          value = value << 8 | static_cast<uint8_t>(padded[used + byte]);
        }
        used += 8;
      }
      pointer += Word(value);
    }
    return pointer;
  }

  // A dnode of object type `type` whose data blocks are `sectors` x 512 bytes.
  std::string Dnode(uint8_t type, const std::vector<std::string>& pointers, uint16_t sectors,
                    uint8_t levels = 1, uint64_t lastBlock = 0) const {
    std::string dnode(512, '\0');
    dnode[0] = static_cast<char>(type);
    dnode[1] = 14;  // 16 KiB indirect blocks
    dnode[2] = static_cast<char>(levels);
    dnode[3] = static_cast<char>(pointers.size());
    dnode.replace(8, 2, Word(sectors, 2));
    dnode.replace(16, 8, Word(lastBlock));
    for (size_t i = 0; i < pointers.size(); ++i) dnode.replace(64 + 128 * i, 128, pointers[i]);
    return dnode;
  }

  // A micro ZAP block of 512 bytes: entries of a value and a 50-byte name.
  std::string MicroZap(const std::vector<std::pair<std::string, uint64_t>>& entries) const {
    std::string block = Word((uint64_t{1} << 63) + 3) + std::string(56, '\0');
    for (const auto& [name, value] : entries) {
      block += Word(value) + std::string(6, '\0') + name + std::string(50 - name.size(), '\0');
    }
    return block + std::string(512 - block.size(), '\0');
  }

  // A fat ZAP leaf of 4 KiB holding one entry: its entry chunk, its name in chunks of 21 bytes,
  // its 8-byte value (big-endian, as every leaf array keeps integers).
  std::string Leaf(const std::string& name, uint64_t value) const {
    std::string leaf(4096, '\0');
    leaf.replace(0, 8, Word(uint64_t{1} << 63));
    leaf.replace(24, 4, Word(0x2AB1EAF, 4));
    const size_t chunks = 48 + 2 * (4096 / 32);
    const std::string named = name + '\0';
    const size_t nameChunks = (named.size() + 20) / 21;
    std::string entry = "\xFC\x08" + Word(0xFFFF, 2) + Word(1, 2) + Word(named.size(), 2) +
                        Word(1 + nameChunks, 2) + Word(1, 2);
    leaf.replace(chunks, entry.size(), entry);
    for (size_t i = 0; i < nameChunks; ++i) {
      const size_t at = chunks + (1 + i) * 24;
      leaf[at] = '\xFB';
      leaf.replace(at + 1, std::min<size_t>(21, named.size() - 21 * i), named.substr(21 * i, 21));
      leaf.replace(at + 22, 2, Word(i + 1 < nameChunks ? 2 + i : 0xFFFF, 2));
    }
    const size_t at = chunks + (1 + nameChunks) * 24;
    leaf[at] = '\xFB';
    leaf.replace(at + 1, 8, BigEndian(value, 8));
    leaf.replace(at + 22, 2, Word(0xFFFF, 2));
    return leaf;
  }

  // Writes an uberblock of transaction `txg` pointing at `root` into slot `slot` of the ring of
  // the label at `label`.
  void Uberblock(uint64_t label, size_t slot, uint64_t txg, const std::string& root) {
    Put(label + 128 * kKiB + slot * 1024,
        Word(0x00BAB10C) + Word(5000) + Word(txg) + Word(1) + Word(2) + root);
  }
};

// How a test pool differs from the plain one: a pool on one disk with feature flags whose
// features_for_read object, a micro ZAP, counts one encrypted dataset.
struct Shape {
  bool bigEndian = false;
  uint64_t version = 5000;
  std::string vdevType = "disk";
  std::vector<std::string> labelFeatures = {"com.delphix:hole_birth"};
  int64_t count = 1;  // -1: the feature is not in the object
  bool fatZap = false;
  bool embedded = false;
  uint8_t compression = DiskIO::kZfsCompressOff;  // of the meta-object set's block
  uint8_t metaLevels = 1;
  uint64_t pointerVdev = 0;
  bool label0 = true;
  bool newestDamaged = false;
};

// The pool of `shape`.
Pool Build(const Shape& shape) {
  Pool pool;
  pool.bigEndian = shape.bigEndian;
  pool.vdev = shape.pointerVdev;
  std::vector<std::pair<std::string, uint64_t>> features = {{"com.delphix:hole_birth", 1},
                                                            {"org.illumos:lz4_compress", 1}};
  if (shape.count >= 0) features.push_back({"com.datto:encryption", uint64_t(shape.count)});
  if (shape.embedded) features.erase(features.begin() + 1, features.end() - 1);  // 112 bytes
  std::string featureZap;
  if (shape.fatZap) {
    const std::string header = pool.Word((uint64_t{1} << 63) + 1) + pool.Word(0x2F52AB2AB);
    const std::string other = pool.Leaf("com.delphix:hole_birth", 1);
    const std::string ours = shape.count >= 0 ? pool.Leaf("com.datto:encryption", shape.count)
                                              : pool.Leaf("org.openzfs:zstd_compress", 0);
    featureZap = pool.Dnode(21,
                            {pool.Block(header + std::string(4096 - 16, '\0'), 4096),
                             pool.Block(other, 4096), pool.Block(ours, 4096)},
                            8, 1, 2);
  } else {
    const std::string zap = pool.MicroZap(features);
    EXPECT_TRUE(!shape.embedded || (Lz4Runs(zap).size() > 80 && Lz4Runs(zap).size() <= 112))
        << "the payload must reach past the birth word, and fit";
    featureZap = pool.Dnode(
        21,
        {shape.embedded ? pool.Embedded(Lz4Runs(zap), zap.size(), DiskIO::kZfsCompressLz4)
                        : pool.Block(zap, 512)},
        1);
  }
  const std::string directory = pool.MicroZap(
      {{"root_dataset", 32}, {"config", 61}, {"features_for_read", 7}, {"sync_bplist", 62}});
  std::string dnodes(16 * kKiB, '\0');
  dnodes.replace(512, 512, pool.Dnode(1, {pool.Block(directory, 512)}, 1));
  dnodes.replace(7 * 512, 512, featureZap);
  std::string meta = pool.Block(dnodes, dnodes.size());
  if (shape.metaLevels == 2) {
    std::string indirect(16 * kKiB, '\0');
    indirect.replace(0, 128, meta);
    meta = pool.Block(indirect, indirect.size(), DiskIO::kZfsCompressOff, 1);
  }
  std::string objectSet = pool.Dnode(10, {meta}, 32, shape.metaLevels, 0);
  objectSet += std::string(2048 - objectSet.size(), '\0');
  std::string stored = objectSet;
  if (shape.compression == DiskIO::kZfsCompressLz4) stored = Lz4Literals(objectSet);
  if (shape.compression == DiskIO::kZfsCompressLzjb) stored = LzjbLiterals(objectSet);
  const std::string root = pool.Block(stored, objectSet.size(), shape.compression);

  const uint64_t label2 = pool.image.size() - 512 * kKiB;
  const std::string config = LabelConfig(shape.version, shape.vdevType, shape.labelFeatures);
  for (uint64_t label : {uint64_t{0}, label2}) {
    if (label == 0 && !shape.label0) continue;
    pool.Put(label + 16 * kKiB, config);
    pool.Uberblock(label, 3, 40, root);  // an older uberblock
    std::string newest = root;
    if (shape.newestDamaged) newest.replace(8, 8, pool.Word(1 << 20));  // points at zeros
    pool.Uberblock(label, 9, 41, newest);
  }
  return pool;
}

// The vdev of `pool` as the sectors of a drive of its own, read on demand.
DiskIO::DriveSectors DriveOf(const Pool& pool) {
  DiskIO::DriveSectors drive;
  drive.length = pool.image.size();
  drive.read = [&pool](uint64_t first, uint32_t count, std::string& bytes, uint32_t&) {
    bytes = pool.image.substr(first * 512, uint64_t{count} * 512);
    return true;
  };
  return drive;
}

ZfsEncryption Read(const Shape& shape) {
  const Pool pool = Build(shape);
  DiskIO::DriveSectors drive = DriveOf(pool);
  DiskIO::Volume volume = DiskIO::WholeDrive(drive, DiskIO::kMetadataBudget);
  return DiskIO::ReadZfsEncryption(volume);
}

Shape With(void (*change)(Shape&)) {
  Shape shape;
  change(shape);
  return shape;
}

TEST(ZfsPools, EncryptedDatasetsAreCountedInFeaturesForRead) {
  const ZfsEncryption kYes = ZfsEncryption::kEncrypted, kNo = ZfsEncryption::kNone,
                      kUnknown = ZfsEncryption::kUnknown;
  const struct {
    const char* what;
    Shape shape;
    ZfsEncryption found;
  } cases[] = {
      {"one encrypted dataset", Shape{}, kYes},
      {"the feature enabled, no dataset", With([](Shape& s) { s.count = 0; }), kNo},
      {"the feature never enabled", With([](Shape& s) { s.count = -1; }), kNo},
      {"a pool before feature flags", With([](Shape& s) { s.version = 28; }), kNo},
      {"listed in the label", With([](Shape& s) {
         s.labelFeatures.push_back("com.datto:encryption");
         s.count = 0;
       }),
       kYes},
      {"big-endian", With([](Shape& s) { s.bigEndian = true; }), kYes},
      {"big-endian, none", With([](Shape& s) {
         s.bigEndian = true;
         s.count = 0;
       }),
       kNo},
      {"a mirror member", With([](Shape& s) { s.vdevType = "mirror"; }), kYes},
      {"LZ4 meta-object set", With([](Shape& s) { s.compression = DiskIO::kZfsCompressLz4; }),
       kYes},
      {"LZJB meta-object set", With([](Shape& s) { s.compression = DiskIO::kZfsCompressLzjb; }),
       kYes},
      {"an indirect block above the dnodes", With([](Shape& s) { s.metaLevels = 2; }), kYes},
      {"a fat ZAP", With([](Shape& s) { s.fatZap = true; }), kYes},
      {"a fat ZAP, none", With([](Shape& s) {
         s.fatZap = true;
         s.count = 0;
       }),
       kNo},
      {"a fat ZAP without the feature", With([](Shape& s) {
         s.fatZap = true;
         s.count = -1;
       }),
       kNo},
      {"the ZAP embedded in its pointer", With([](Shape& s) { s.embedded = true; }), kYes},
      {"label 0 damaged: label 2", With([](Shape& s) { s.label0 = false; }), kYes},
      {"the newest uberblock leads nowhere", With([](Shape& s) { s.newestDamaged = true; }), kYes},
      {"blocks on another vdev", With([](Shape& s) { s.pointerVdev = 1; }), kUnknown},
      {"a raidz member", With([](Shape& s) { s.vdevType = "raidz"; }), kUnknown},
  };
  for (const auto& c : cases) EXPECT_EQ(Read(c.shape), c.found) << c.what;
}

TEST(ZfsPools, NothingToReadIsUnknown) {
  DiskIO::DriveSectors blank;
  blank.length = 8 * kMiB;
  blank.read = [](uint64_t, uint32_t count, std::string& bytes, uint32_t&) {
    bytes.assign(uint64_t{count} * 512, '\0');
    return true;
  };
  DiskIO::Volume zeros = DiskIO::WholeDrive(blank, DiskIO::kMetadataBudget);
  EXPECT_EQ(DiskIO::ReadZfsEncryption(zeros), ZfsEncryption::kUnknown);
  Pool pool;  // a label, but no uberblock
  pool.Put(16 * kKiB, LabelConfig(5000, "disk", {}));
  DiskIO::DriveSectors drive = DriveOf(pool);
  DiskIO::Volume volume = DiskIO::WholeDrive(drive, DiskIO::kMetadataBudget);
  EXPECT_EQ(DiskIO::ReadZfsEncryption(volume), ZfsEncryption::kUnknown);
}

// The verdict on a volume the file-system table named "ZFS member", and on the same bytes under
// another name.
TEST(ZfsPools, TheVerdictNamesEncryptedPoolsOnly) {
  const Pool encrypted = Build(Shape{});
  const Pool plain = Build(With([](Shape& s) { s.count = 0; }));
  DiskIO::DriveSectors encryptedDrive = DriveOf(encrypted);
  DiskIO::Volume volume = DiskIO::WholeDrive(encryptedDrive, DiskIO::kMetadataBudget);
  const Module1::SectorRule* verdict = Module1::FileSystemEncryptionVerdict(volume, "ZFS member");
  ASSERT_NE(verdict, nullptr);
  EXPECT_STREQ(verdict->kind, "zfs-encryption");
  EXPECT_STREQ(verdict->message, " holds encrypted ZFS datasets.");
  EXPECT_EQ(Module1::FileSystemEncryptionVerdict(volume, "XFS"), nullptr);
  DiskIO::DriveSectors plainDrive = DriveOf(plain);
  DiskIO::Volume other = DiskIO::WholeDrive(plainDrive, DiskIO::kMetadataBudget);
  EXPECT_EQ(Module1::FileSystemEncryptionVerdict(other, "ZFS member"), nullptr);
}

}  // namespace

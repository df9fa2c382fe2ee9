// DescribeVolumeEncryption on Windows: a drive letter whose DOS device leads to a VeraCrypt or
// TrueCrypt driver's volume device is named after that product, through the real
// QueryDosDeviceA, with the letter defined for the test by DefineDosDeviceA.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "platform/volume_encryption.h"

namespace {

// Returns a letter from T down that has no DOS device, or 0.
char FreeLetter() {
  char targets[1024];
  for (char letter = 'T'; letter > 'D'; --letter) {
    const char name[] = {letter, ':', '\0'};
    if (QueryDosDeviceA(name, targets, sizeof targets) == 0) return letter;
  }
  return 0;
}

// Returns what DescribeVolumeEncryption answers for `letter` while its DOS device leads to
// `target`, as "product below drive partition", or "none".
std::string DescribeWithTarget(char letter, const char* target) {
  const char name[] = {letter, ':', '\0'};
  if (!DefineDosDeviceA(DDD_RAW_TARGET_PATH, name, target)) return "cannot define";
  EncryptionLayer layer{"unset", true, 99, 99};
  const bool named = DescribeVolumeEncryption(letter, layer);
  DefineDosDeviceA(DDD_RAW_TARGET_PATH | DDD_REMOVE_DEFINITION | DDD_EXACT_MATCH_ON_REMOVE, name,
                   target);
  if (!named) return "none";
  return layer.product + (layer.below ? " below " : " is ") + std::to_string(layer.drive) + " " +
         std::to_string(layer.partition);
}

TEST(VolumeLayersWin32, LettersOfTheEncryptionDriversAreNamed) {
  const char letter = FreeLetter();
  ASSERT_NE(letter, 0) << "no free drive letter";
  EXPECT_EQ(DescribeWithTarget(letter, "\\Device\\VeraCryptVolumeT"), "VeraCrypt is -1 -1");
  EXPECT_EQ(DescribeWithTarget(letter, "\\Device\\TrueCryptVolumeT"), "TrueCrypt is -1 -1");
  EXPECT_EQ(DescribeWithTarget(letter, "\\Device\\HarddiskVolume7"), "none");
  EncryptionLayer layer{};
  EXPECT_FALSE(DescribeVolumeEncryption(letter, layer));  // the definition is gone again
  EXPECT_FALSE(DescribeVolumeEncryption('C', layer));     // a disk volume
  EXPECT_FALSE(DescribeVolumeEncryption('1', layer));
}

}  // namespace

// The name rules that tell which product an open encrypted volume belongs to: the Windows
// drivers' device names, and cryptsetup's, VeraCrypt's and TrueCrypt's device-mapper devices.
#include <gtest/gtest.h>

#include "platform/volume_names.h"

namespace {

TEST(VolumeNames, DosDeviceTargetsOfTheEncryptionDrivers) {
  const struct {
    const char* target;
    const char* product;
  } cases[] = {
      {"\\Device\\VeraCryptVolumeT", "VeraCrypt"},
      {"\\Device\\TrueCryptVolumeK", "TrueCrypt"},
      {"\\DEVICE\\veracryptvolumeZ", "VeraCrypt"},  // object names ignore case
      {"\\Device\\VeraCryptVolume", "VeraCrypt"},
      {"\\Device\\HarddiskVolume3", ""},
      {"\\Device\\VeraCrypt", ""},
      {"\\??\\VeraCryptVolumeT", ""},
      {"Device\\VeraCryptVolumeT", ""},
      {"", ""},
  };
  for (const auto& c : cases)
    EXPECT_EQ(ProductFromDosDeviceTarget(c.target), c.product) << c.target;
}

// The product of each device-mapper device, and whether it shows decrypted contents: every
// device cryptsetup opens but its integrity, verity, sub- and temporary devices.
TEST(VolumeNames, DeviceMapperUuidsAndNames) {
  const struct {
    const char* uuid;
    const char* name;
    const char* product;
    bool decrypts;
  } cases[] = {
      {"CRYPT-LUKS1-9f1c2e3d4b5a69788796a5b4c3d2e1f0-home", "home", "LUKS", true},
      {"CRYPT-LUKS2-0d3c4a7e9b2f4c1d8e6a5b4c3d2e1f00-root", "root", "LUKS", true},
      {"CRYPT-TCRYPT-vc", "vc", "TrueCrypt or VeraCrypt", true},
      {"CRYPT-BITLK-stick", "stick", "BitLocker", true},
      {"CRYPT-PLAIN-swap", "swap", "plain dm-crypt", true},
      {"CRYPT-LUKS2-x", "veracrypt1", "LUKS", true},  // the uuid decides first
      {"", "veracrypt1", "VeraCrypt", true},
      {"", "truecrypt64", "TrueCrypt", true},
      {"", "veracrypt", "", false},
      {"", "veracrypt1_2", "", false},
      {"", "VeraCrypt1", "", false},
      {"", "myveracrypt1", "", false},
      {"CRYPT-LUKS3-x", "x", "", true},
      {"CRYPT-LOOPAES-x", "x", "", true},
      {"CRYPT-FVAULT2-x", "x", "", true},
      {"CRYPT-VERITY-x", "x", "", false},
      {"CRYPT-INTEGRITY-x", "x", "", false},
      {"CRYPT-SUBDEV-x-y_dif", "x_dif", "", false},
      {"CRYPT-TEMP-x", "temporary-cryptsetup-42", "", false},
      {"crypt-luks2-x", "x", "", false},
      {"LVM-Xq3fVt0aJ8cK2Zl9", "vg-root", "", false},
      {"CRYPT-LUKS", "", "", true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ProductFromDeviceMapper(c.uuid, c.name), c.product) << c.uuid << " " << c.name;
    EXPECT_EQ(IsDecryptingMapper(c.uuid, c.name), c.decrypts) << c.uuid << " " << c.name;
  }
}

}  // namespace

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

TEST(VolumeNames, DeviceMapperUuidsAndNames) {
  const struct {
    const char* uuid;
    const char* name;
    const char* product;
  } cases[] = {
      {"CRYPT-LUKS1-9f1c2e3d4b5a69788796a5b4c3d2e1f0-home", "home", "LUKS"},
      {"CRYPT-LUKS2-0d3c4a7e9b2f4c1d8e6a5b4c3d2e1f00-root", "root", "LUKS"},
      {"CRYPT-TCRYPT-vc", "vc", "TrueCrypt or VeraCrypt"},
      {"CRYPT-BITLK-stick", "stick", "BitLocker"},
      {"CRYPT-PLAIN-swap", "swap", "plain dm-crypt"},
      {"CRYPT-LUKS2-x", "veracrypt1", "LUKS"},  // the uuid decides first
      {"", "veracrypt1", "VeraCrypt"},
      {"", "truecrypt64", "TrueCrypt"},
      {"", "veracrypt", ""},
      {"", "veracrypt1_2", ""},
      {"", "VeraCrypt1", ""},
      {"", "myveracrypt1", ""},
      {"CRYPT-LUKS3-x", "x", ""},
      {"CRYPT-VERITY-x", "x", ""},
      {"crypt-luks2-x", "x", ""},
      {"LVM-Xq3fVt0aJ8cK2Zl9", "vg-root", ""},
      {"CRYPT-LUKS", "", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ProductFromDeviceMapper(c.uuid, c.name), c.product) << c.uuid << " " << c.name;
  }
}

}  // namespace

// Drive letters on open encrypted volumes, on Windows: the VeraCrypt and TrueCrypt drivers give
// each mounted volume a device of their own, whose name the letter's DOS device leads to.
#include <windows.h>

#include "platform/volume_encryption.h"
#include "platform/volume_names.h"

bool DescribeVolumeEncryption(char letter, EncryptionLayer& layer) {
  if (letter < 'A' || letter > 'Z') return false;
  const char name[] = {letter, ':', '\0'};
  // The answer is a list of NUL-terminated names, the letter's current target first.
  char targets[1024] = {0};
  if (QueryDosDeviceA(name, targets, sizeof targets) == 0) return false;
  targets[sizeof targets - 1] = '\0';
  try {
    const std::string product = ProductFromDosDeviceTarget(targets);
    if (product.empty()) return false;
    layer = EncryptionLayer{product, false, -1, -1};
    return true;
  } catch (...) {
    return false;  // out of memory: no name rather than no run
  }
}

#include "disk/record_value.h"

#include "disk/checked.h"
#include "platform/platform.h"

namespace DiskIO {

namespace {

constexpr char kProgramTitle[] = "Tharvex";
constexpr char kRejectedFieldText[] = "Error in startrecord/endrecord values!";

// Returns the byte at `index`; throws the subscript error when the buffer has no such byte.
uint8_t ByteAtIndex(ByteSpan buffer, int64_t index) {
  if (index < 0 || static_cast<uint64_t>(index) >= buffer.size) throw SubscriptError();
  return buffer.data[index];
}

// Reads the accepted field; every failing step throws.
double ReadField(ByteSpan buffer, int32_t startrecord, int32_t endrecord, bool isunsigned) {
  double weight = 1.0;
  double value = ByteAtIndex(buffer, startrecord);
  // The byte counter is 16 bits wide: it limits the indexes that can be read to 32766.
  int16_t index = CheckedInt16(int64_t{startrecord} + 1);
  const int16_t last = CheckedInt16(endrecord);
  while (index <= last) {
    weight = CheckedDouble(weight * 256.0);
    double counted = ByteAtIndex(buffer, index);
    if (index == last && !isunsigned && counted >= 128) counted -= 256;
    value = CheckedDouble(counted * weight + value);
    index = CheckedInt16(int64_t{index} + 1);
  }
  return value;
}

}  // namespace

double GetRecordValue(ByteSpan buffer, int32_t startrecord, int32_t& endrecord, bool isunsigned) {
  if (endrecord <= 0) {
    // An empty buffer has no last byte to stand for; one too large for the index type fails too.
    if (buffer.size == 0 || buffer.size - 1 > static_cast<size_t>(INT32_MAX)) return 0;
    endrecord = static_cast<int32_t>(buffer.size - 1);
  }
  if (startrecord > endrecord || startrecord < 0) {
    MessageBoxA(nullptr, kRejectedFieldText, kProgramTitle, MB_OK | MB_ICONINFORMATION);
    return -1;
  }
  try {
    return ReadField(buffer, startrecord, endrecord, isunsigned);
  } catch (const ProgramError&) {
    return 0;
  }
}

}  // namespace DiskIO

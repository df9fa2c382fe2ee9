// Little-endian fields of a byte buffer, read as numbers.
#ifndef TVX_DISK_RECORD_VALUE_H_
#define TVX_DISK_RECORD_VALUE_H_

#include <cstdint>

#include "disk/sector.h"

namespace DiskIO {

/// Returns the little-endian field from byte `startrecord` to byte `endrecord` of `buffer`, read
/// unsigned or, when `isunsigned` is false, as two's complement (a one-byte field is always
/// unsigned). An `endrecord` of 0 or less stands for the buffer's last byte and is written back.
/// A field that starts below 0 or after its end shows a message box and returns -1. Any failure
/// while reading (an index past the buffer, an index of 32767 or more, a field of 129 bytes or
/// more) returns 0 and shows nothing.
double GetRecordValue(ByteSpan buffer, int32_t startrecord, int32_t& endrecord, bool isunsigned);

}  // namespace DiskIO

#endif  // TVX_DISK_RECORD_VALUE_H_

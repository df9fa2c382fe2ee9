#include "base/bytes.h"

#include <cctype>

bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) !=
        std::tolower(static_cast<unsigned char>(prefix[i]))) {
      return false;
    }
  }
  return true;
}

bool EndsWithIgnoringCase(std::string_view text, std::string_view ending) {
  return text.size() >= ending.size() &&
         StartsWithIgnoringCase(text.substr(text.size() - ending.size()), ending);
}

uint64_t LittleEndianValue(std::string_view bytes, size_t offset, size_t length) {
  uint64_t value = 0;
  for (size_t i = length; i-- > 0;) {
    const size_t index = offset + i;
    value = (value << 8) | (index < bytes.size() ? static_cast<uint8_t>(bytes[index]) : 0);
  }
  return value;
}

uint64_t BigEndianValue(std::string_view bytes, size_t offset, size_t length) {
  uint64_t value = 0;
  for (size_t i = 0; i < length; ++i) {
    const size_t index = offset + i;
    value = (value << 8) | (index < bytes.size() ? static_cast<uint8_t>(bytes[index]) : 0);
  }
  return value;
}

#include "disk/layout.h"

std::string FieldText(const SectorText& sector, Field field) {
  if (field.offset >= sector.size()) return std::string();
  return sector.substr(field.offset, field.length);
}

uint8_t ByteAt(const SectorText& sector, size_t offset) {
  return offset < sector.size() ? static_cast<uint8_t>(sector[offset]) : 0;
}

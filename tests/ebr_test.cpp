// The chain of extended boot records over in-memory sectors: partition numbers, entries that
// take none, each way a chain ends (no next record, loops, a missing boot signature, a failed
// read, sector 2^53), the caps of 128 logical partitions and 256 records, and several extended
// partitions in entry order.
#include "disk/ebr.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "disk/sector_reader.h"

namespace {

constexpr uint64_t kTwoTo53 = uint64_t{1} << 53;
constexpr uint8_t kFat16 = 0x06, kNtfs = 0x07, kLinux = 0x83;
constexpr uint8_t kChs = 0x05, kLba = 0x0F, kLinuxExtended = 0x85;

// Returns an extended boot record: its first entry (a logical partition `logicalStart` sectors
// past the record), its second (the next record, `nextStart` sectors past the first record of
// the chain) and, unless told otherwise, the boot signature.
std::string Ebr(uint8_t logicalType, uint32_t logicalStart, uint8_t nextType, uint32_t nextStart,
                bool signature = true) {
  std::string sector(512, '\0');
  auto put32 = [&sector](size_t offset, uint32_t value) {
    for (size_t k = 0; k < 4; ++k) sector[offset + k] = static_cast<char>(value >> (8 * k));
  };
  sector[450] = static_cast<char>(logicalType);
  put32(454, logicalStart);
  put32(458, 1);
  sector[466] = static_cast<char>(nextType);
  put32(470, nextStart);
  put32(474, 1);
  if (signature) {
    sector[510] = '\x55';
    sector[511] = '\xAA';
  }
  return sector;
}

using Sectors = std::map<uint64_t, std::string>;
using Logicals = std::vector<std::pair<int32_t, uint64_t>>;

// Adds a chain of `count` records at extended + 10 k, each with a logical partition of `type`
// one sector past it (none for type 0); returns, for each record, its logical partition's sector.
std::vector<uint64_t> AddChain(Sectors& sectors, uint64_t extended, int count, uint8_t type) {
  std::vector<uint64_t> records;
  for (int k = 0; k < count; ++k) {
    const bool last = k + 1 == count;
    sectors[extended + 10 * k] = Ebr(type, 1, last ? 0 : kLba, last ? 0 : 10 * (k + 1));
    records.push_back(extended + 10 * k);
  }
  return records;
}

struct ChainCase {
  std::string name;
  std::vector<uint64_t> extended;
  Sectors sectors;
  std::map<uint64_t, DWORD> failing;  // sectors whose read fails, with the code
  Logicals expected;
  std::vector<uint64_t> reads;  // in order
  std::vector<uint32_t> errors;
  bool cut = false;  // a record was left unread at a cap
};

std::vector<ChainCase> HandWrittenCases() {
  return {
      {"numbers follow the chain; entries without a type or a start take none",
       {100},
       {{100, Ebr(kNtfs, 63, kChs, 50)},
        {150, Ebr(0, 10, kLba, 100)},
        {200, Ebr(kLinux, 0, kLinuxExtended, 150)},
        {250, Ebr(kFat16, 2, kLinux, 300)},  // a next entry that is no extended type
        {400, Ebr(kNtfs, 1, 0, 0)}},
       {},
       {{5, 163}, {6, 252}},
       {100, 150, 200, 250},
       {}},
      {"a next entry of start 0 ends the chain",
       {100},
       {{100, Ebr(kNtfs, 1, kChs, 0)}, {200, Ebr(kNtfs, 1, 0, 0)}},
       {},
       {{5, 101}},
       {100},
       {}},
      {"a record pointing to itself is read once",
       {100},
       {{100, Ebr(kNtfs, 1, kChs, 50)}, {150, Ebr(kNtfs, 1, kChs, 50)}},
       {},
       {{5, 101}, {6, 151}},
       {100, 150},
       {}},
      {"a record pointing back to an earlier one",
       {100},
       {{100, Ebr(kNtfs, 1, kChs, 50)},
        {150, Ebr(kNtfs, 1, kChs, 100)},
        {200, Ebr(kNtfs, 1, kChs, 50)}},
       {},
       {{5, 101}, {6, 151}, {7, 201}},
       {100, 150, 200},
       {}},
      {"a record without the boot signature ends the chain, its entry unused",
       {100},
       {{100, Ebr(kNtfs, 1, kChs, 50)}, {150, Ebr(kNtfs, 1, kChs, 100, false)}},
       {},
       {{5, 101}},
       {100, 150},
       {}},
      {"a first record of zeros", {100}, {}, {}, {}, {100}, {}},
      {"an unreadable record ends the chain and keeps its code",
       {100, 1000},
       {{100, Ebr(kNtfs, 1, kChs, 50)}, {1000, Ebr(kFat16, 1, 0, 0)}},
       {{150, 23}},
       {{5, 101}, {6, 1001}},
       {100, 150, 1000},
       {23}},
      {"records at 2^53 and beyond are never read",
       {kTwoTo53 - 100, kTwoTo53, kTwoTo53 + 5},
       {{kTwoTo53 - 100, Ebr(kNtfs, 1, kChs, 99)}, {kTwoTo53 - 1, Ebr(kNtfs, 1, kChs, 100)}},
       {},
       {{5, kTwoTo53 - 99}, {6, kTwoTo53}},
       {kTwoTo53 - 100, kTwoTo53 - 1},
       {}},
      {"two extended partitions, in entry order",
       {1000, 100},
       {{1000, Ebr(kNtfs, 1, kLba, 20)}, {1020, Ebr(kNtfs, 2, 0, 0)}, {100, Ebr(kFat16, 3, 0, 0)}},
       {},
       {{5, 1001}, {6, 1022}, {7, 103}},
       {1000, 1020, 100},
       {}},
      {"a second extended partition inside the first chain is not read again",
       {100, 150},
       {{100, Ebr(kNtfs, 1, kChs, 50)}, {150, Ebr(kNtfs, 1, 0, 0)}},
       {},
       {{5, 101}, {6, 151}},
       {100, 150},
       {}},
  };
}

// The caps, on long chains: 128 logical partitions in all, and 256 records in all; a chain that
// ends exactly at a cap is not cut.
std::vector<ChainCase> CapCases() {
  ChainCase exact;
  exact.name = "exactly 128 logical partitions, the chain ending with the last";
  exact.extended = {1000};
  exact.reads = AddChain(exact.sectors, 1000, 128, kNtfs);
  for (size_t k = 0; k < exact.reads.size(); ++k) {
    exact.expected.push_back({static_cast<int32_t>(5 + k), exact.reads[k] + 1});
  }

  ChainCase logicals;
  logicals.name = "at most 128 logical partitions, over both chains";
  logicals.extended = {1000, 100000};
  const std::vector<uint64_t> first = AddChain(logicals.sectors, 1000, 100, kNtfs);
  const std::vector<uint64_t> second = AddChain(logicals.sectors, 100000, 100, kNtfs);
  logicals.reads = first;
  logicals.reads.insert(logicals.reads.end(), second.begin(), second.begin() + 28);
  for (size_t k = 0; k < logicals.reads.size(); ++k) {
    logicals.expected.push_back({static_cast<int32_t>(5 + k), logicals.reads[k] + 1});
  }
  logicals.cut = true;

  ChainCase records;
  records.name = "at most 256 records, over both chains";
  records.extended = {1000, 100000};
  const std::vector<uint64_t> empty = AddChain(records.sectors, 1000, 200, 0);
  const std::vector<uint64_t> more = AddChain(records.sectors, 100000, 100, kNtfs);
  records.reads = empty;
  records.reads.insert(records.reads.end(), more.begin(), more.begin() + 56);
  for (size_t k = 0; k < 56; ++k) {
    records.expected.push_back({static_cast<int32_t>(5 + k), more[k] + 1});
  }
  records.cut = true;
  return {exact, logicals, records};
}

TEST(ExtendedBootRecords, ChainsAndTheirEnds) {
  std::vector<ChainCase> cases = HandWrittenCases();
  for (ChainCase& c : CapCases()) cases.push_back(std::move(c));
  for (const ChainCase& c : cases) {
    std::vector<uint64_t> reads;
    const DiskIO::SectorSource source = [&](uint64_t sector, SectorText& bytes, uint32_t& error) {
      reads.push_back(sector);
      const auto failure = c.failing.find(sector);
      if (failure != c.failing.end()) {
        error = failure->second;
        return false;
      }
      const auto found = c.sectors.find(sector);
      bytes = found != c.sectors.end() ? found->second : std::string(512, '\0');
      return true;
    };
    std::vector<TableReadError> failures;
    Logicals logicals;
    bool cut = !c.cut;
    for (const DiskIO::LogicalPartition& p :
         DiskIO::ReadLogicalPartitions(c.extended, source, failures, cut)) {
      logicals.push_back({p.number, p.firstSector});
      EXPECT_EQ(p.sectorCount, 1u) << c.name << ": the size its entry gives";
    }
    EXPECT_EQ(logicals, c.expected) << c.name;
    EXPECT_EQ(reads, c.reads) << c.name;
    std::vector<uint32_t> errors;
    for (const TableReadError& failure : failures) {
      errors.push_back(failure.error);
      EXPECT_EQ(failure.region, TableRegion::kExtendedBootRecord) << c.name;
      EXPECT_TRUE(c.failing.count(failure.sector) != 0) << c.name << ": placed at the record";
    }
    EXPECT_EQ(errors, c.errors) << c.name;
    EXPECT_EQ(cut, c.cut) << c.name;
  }
}

}  // namespace

// GetRecordValue's message box as POSIX shows it, a line on standard error: once for a rejected
// field, never for a field that decodes or fails while reading.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "disk/record_value.h"
#include "platform/platform.h"

namespace {

constexpr char kRejectedFieldLine[] = "Tharvex: Error in startrecord/endrecord values!\n";

struct Call {
  const char* what;
  int32_t startrecord;
  int32_t endrecord;
  double result;
  bool showsMessage;
};

TEST(GetRecordValueOnPosix, ShowsTheMessageOnceForRejectedFieldsOnly) {
  std::vector<uint8_t> sector(512, 0x01);
  std::vector<uint8_t> large(33000, 0x01);
  const Call calls[] = {
      {"start after end", 5, 3, -1, true},
      {"start below 0", -1, 3, -1, true},
      {"start after the substituted end", 600, 0, -1, true},
      {"decoded field", 454, 457, 16843009, false},
      {"whole sector, 129th byte", 0, 0, 0, false},
      {"past the end", 510, 513, 0, false},
      {"after the end", 600, 603, 0, false},
  };
  for (const Call& call : calls) {
    int32_t endrecord = call.endrecord;
    testing::internal::CaptureStderr();
    const double result = DiskIO::GetRecordValue(ByteSpan(sector.data(), sector.size()),
                                                 call.startrecord, endrecord, true);
    const std::string shown = testing::internal::GetCapturedStderr();
    EXPECT_EQ(result, call.result) << call.what;
    EXPECT_EQ(shown, call.showsMessage ? kRejectedFieldLine : "") << call.what;
  }
  // The 16-bit counter's failure is silent as well.
  int32_t endrecord = 32767;
  testing::internal::CaptureStderr();
  EXPECT_EQ(DiskIO::GetRecordValue(ByteSpan(large.data(), large.size()), 32766, endrecord, true),
            0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(MessageBoxAOnPosix, WritesCaptionAndTextAsOneLine) {
  const struct {
    const char* text;
    const char* caption;
    std::string line;
  } cases[] = {
      {"Error in startrecord/endrecord values!", "Tharvex", kRejectedFieldLine},
      {"text", nullptr, "Error: text\n"},
      {nullptr, "Caption", "Caption: \n"},
  };
  for (const auto& c : cases) {
    testing::internal::CaptureStderr();
    const int answer = MessageBoxA(nullptr, c.text, c.caption, MB_OK | MB_ICONINFORMATION);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.line);
    EXPECT_EQ(answer, IDOK);
  }
}

}  // namespace

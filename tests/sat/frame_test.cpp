// The frame on the serial line: building command frames and unpacking what
// the device sends, including damaged and truncated frames.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "frame_format.h"
#include "testutil.h"

using namespace torvex::sat;
using testutil::ReplyFrame;

namespace {
FrameRecord g_record;  // 4 MiB: static, not on the stack

std::vector<std::uint8_t> Build(const std::string &payload, std::uint8_t sequence) {
  g_record.Clear();
  g_record.type = 0x01;
  g_record.sequence = sequence;
  g_record.commandLength = static_cast<std::uint32_t>(payload.size());
  std::memcpy(g_record.commandPayload, payload.data(), payload.size());
  std::vector<std::uint8_t> out(payload.size() + 9);
  EXPECT_EQ(BuildFrame(g_record, out.data(), out.size()), out.size());
  return out;
}

}  // namespace

TEST(BuildFrame, CommandTextVector) {
  auto f = Build("000123|ConsultarSAT", 5);
  ASSERT_EQ(f.size(), 28u);
  std::vector<std::uint8_t> head(f.begin(), f.begin() + 8);
  EXPECT_EQ(head, (std::vector<std::uint8_t>{0x01, 0x05, 0x00, 0x00, 0x13, 0x00, 0x00, 0x00}));
  EXPECT_EQ(std::string(f.begin() + 8, f.end() - 1), "000123|ConsultarSAT");
  EXPECT_EQ(f.back(), 0x5D);
}

TEST(BuildFrame, EmptyPayloadChecksumIsSequence) {
  for (int s : {0, 1, 0x7f, 0xff}) {
    auto f = Build("", static_cast<std::uint8_t>(s));
    EXPECT_EQ(f, (std::vector<std::uint8_t>{1, static_cast<std::uint8_t>(s), 0, 0, 0, 0, 0, 0,
                                            static_cast<std::uint8_t>(s)}))
        << "sequence " << s;
  }
}

TEST(BuildFrame, RefusesWhatDoesNotFit) {
  g_record.Clear();
  g_record.commandLength = static_cast<std::uint32_t>(kMaxPayload + 1);
  std::vector<std::uint8_t> out(16);
  EXPECT_EQ(BuildFrame(g_record, out.data(), out.size()), 0u);
  g_record.commandLength = 8;  // fits the limit, not the small buffer
  EXPECT_EQ(BuildFrame(g_record, out.data(), out.size()), 0u);
}

TEST(ParseFrame, GoodDataFrame) {
  auto f = ReplyFrame("123456|12345|texto|");
  ASSERT_EQ(ParseFrame(f.data(), f.size(), g_record), kFrameData);
  EXPECT_EQ(g_record.type, 1);
  EXPECT_EQ(g_record.sequence, 7);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(g_record.replyPayload), g_record.replyLength),
            "123456|12345|texto|");
}

TEST(ParseFrame, ChecksumOffByOneStillCopiesPayload) {
  for (int delta : {1, -1}) {
    auto f = ReplyFrame("123456|12345|texto|", delta);
    EXPECT_EQ(ParseFrame(f.data(), f.size(), g_record), kFrameBadChecksum) << delta;
    EXPECT_EQ(g_record.replyLength, 19u);
  }
}

TEST(ParseFrame, ControlFrames) {
  struct Case {
    std::vector<std::uint8_t> bytes;
    int result;
  } cases[] = {
      {{0x06}, kFrameAck},
      {{0x06, 0x01, 0x07}, kFrameAck},
      {{0x11, 9, 1, 2, 3, 4}, kFrameDc1},
      {{0x15, 9, 1, 2, 3, 4}, kFrameNak},
      {{0x16, 42}, kFrameSyn},
      {{0x00, 1, 2}, kFrameUnknown},
      {{0x7f}, kFrameUnknown},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(ParseFrame(c.bytes.data(), c.bytes.size(), g_record), c.result)
        << "type " << int(c.bytes[0]);
    EXPECT_EQ(g_record.replyLength, 0u);
  }
  std::vector<std::uint8_t> nak = {0x15, 9, 1, 2, 3, 4};
  ParseFrame(nak.data(), nak.size(), g_record);
  EXPECT_EQ(g_record.replyC, 9);
  EXPECT_EQ(g_record.replyTag[3], 4);
  std::vector<std::uint8_t> syn = {0x16, 42};
  ParseFrame(syn.data(), syn.size(), g_record);
  EXPECT_EQ(g_record.sequence, 42);
}

TEST(ParseFrame, UnknownTypePrintsItsNumber) {
  std::uint8_t zero[] = {0x00};
  testing::internal::CaptureStdout();
  EXPECT_EQ(ParseFrame(zero, 1, g_record), kFrameUnknown);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Codigo Controle n\xc3\xa3o reconhecido 0\n");
}

// Only the bytes that arrived are read: a declared length past the end of
// the burst is a damaged frame (code 3 for the caller), and the payload
// holds what did arrive.
TEST(ParseFrame, DeclaredLengthPastTheBurstIsNotReadPast) {
  auto f = ReplyFrame("123456|12345|texto|", 0, 500);
  f.pop_back();                                         // no checksum byte either
  std::vector<std::uint8_t> exact(f.begin(), f.end());  // exact-size heap buffer for ASan
  EXPECT_EQ(ParseFrame(exact.data(), exact.size(), g_record), kFrameBadChecksum);
  EXPECT_EQ(g_record.replyLength, 19u);

  std::vector<std::uint8_t> headerOnly(f.begin(), f.begin() + 10);
  EXPECT_EQ(ParseFrame(headerOnly.data(), headerOnly.size(), g_record), kFrameBadChecksum);
  EXPECT_EQ(g_record.replyLength, 0u);

  auto noChecksum = ReplyFrame("abc");
  noChecksum.pop_back();
  EXPECT_EQ(ParseFrame(noChecksum.data(), noChecksum.size(), g_record), kFrameBadChecksum);
}

TEST(ParseFrame, LengthOver2MiBIsCutWithAWarning) {
  std::string big(kBufSize + 100, 'x');
  auto f = ReplyFrame(big);
  testing::internal::CaptureStdout();
  int result = ParseFrame(f.data(), f.size(), g_record);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "BUG: Pacote excesivamente grande ser\xc3\xa1 truncado: 2097252 bytes\n");
  EXPECT_EQ(g_record.replyLength, kBufSize);
  EXPECT_EQ(result, kFrameBadChecksum);  // the byte after 2 MiB is payload, not the checksum
}

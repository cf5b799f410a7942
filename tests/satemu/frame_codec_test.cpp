#include <gtest/gtest.h>

#include "frame_codec.h"

namespace satemu {
namespace {

std::string bytes(std::initializer_list<int> b) {
  std::string s;
  for (int v : b) s.push_back(static_cast<char>(v));
  return s;
}

TEST(FrameCodec, CommandFrameVector) {
  // 000123|ConsultarSAT (19 bytes) with sequence 5.
  const std::string f = encode_command_frame(5, "000123|ConsultarSAT");
  ASSERT_EQ(f.size(), 28u);
  EXPECT_EQ(f.substr(0, 8), bytes({0x01, 0x05, 0x00, 0x00, 0x13, 0x00, 0x00, 0x00}));
  EXPECT_EQ(static_cast<std::uint8_t>(f.back()), 0x5D);
  // An empty payload: the checksum is the sequence byte.
  EXPECT_EQ(encode_command_frame(7, ""), bytes({0x01, 7, 0, 0, 0, 0, 0, 0, 7}));
}

TEST(FrameCodec, ReplyFrameLayoutAndShapes) {
  const std::string f = encode_reply_frame(9, "abc");
  ASSERT_EQ(f.size(), 13u + 3 + 1);
  EXPECT_EQ(f.substr(0, 13), bytes({0x01, 9, 0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0}));
  EXPECT_EQ(static_cast<std::uint8_t>(f.back()), (9 + 3 + 'a' + 'b' + 'c') & 0xFF);
  auto parsed = parse_reply_frame(f);
  ASSERT_TRUE(parsed);
  EXPECT_TRUE(parsed->checksum_ok);
  EXPECT_EQ(parsed->payload, "abc");
  EXPECT_EQ(parsed->sequence, 9);

  ReplyFrameShape bad;
  bad.checksum_delta = 1;
  const std::string b = encode_reply_frame(9, "abc", bad);
  EXPECT_EQ(static_cast<std::uint8_t>(b.back()), static_cast<std::uint8_t>(f.back() + 1));
  EXPECT_FALSE(parse_reply_frame(b)->checksum_ok);

  ReplyFrameShape longer;
  longer.declared_length = 3 + 64;
  const std::string l = encode_reply_frame(9, "abc", longer);
  EXPECT_EQ(l.size(), f.size());
  EXPECT_EQ(static_cast<std::uint8_t>(l[9]), 67);
  EXPECT_FALSE(parse_reply_frame(l));  // waits for bytes that never come

  // A checksum that wraps: 255 bytes of 0xFF.
  const std::string big = encode_reply_frame(0, std::string(255, '\xFF'));
  EXPECT_TRUE(parse_reply_frame(big)->checksum_ok);
}

TEST(FrameCodec, DecoderAssemblesPiecesAndSeveralFrames) {
  CommandDecoder d;
  std::vector<DecodeEvent> ev;
  const std::string a = encode_command_frame(1, "000001|ConsultarSAT");
  const std::string b = encode_command_frame(2, "000002|ConsultarSAT");
  const std::string all = a + b;
  for (char c : all) d.feed(std::string_view(&c, 1), ev);
  ASSERT_EQ(ev.size(), 2u);
  EXPECT_EQ(ev[0].kind, DecodeEvent::Kind::Frame);
  EXPECT_EQ(ev[0].frame.payload, "000001|ConsultarSAT");
  EXPECT_EQ(ev[1].frame.sequence, 2);
  EXPECT_FALSE(d.has_partial());

  // Binary payloads with NUL bytes pass whole.
  ev.clear();
  const std::string bin("x|\0\0\xff|", 6);
  d.feed(encode_command_frame(3, bin), ev);
  ASSERT_EQ(ev.size(), 1u);
  EXPECT_EQ(ev[0].frame.payload, bin);
}

TEST(FrameCodec, DecoderRejectsBadFrames) {
  CommandDecoder d;
  std::vector<DecodeEvent> ev;
  std::string bad = encode_command_frame(1, "000001|ConsultarSAT");
  bad.back() = static_cast<char>(bad.back() + 1);
  d.feed(bad, ev);
  ASSERT_EQ(ev.size(), 1u);
  EXPECT_EQ(ev[0].kind, DecodeEvent::Kind::BadChecksum);
  EXPECT_EQ(ev[0].received, static_cast<std::uint8_t>(ev[0].expected + 1));

  // Junk before a frame is skipped, the frame still read.
  ev.clear();
  d.feed(std::string("\x06\x00junk", 6) + encode_command_frame(2, "x"), ev);
  ASSERT_EQ(ev.size(), 2u);
  EXPECT_EQ(ev[0].kind, DecodeEvent::Kind::BadStart);
  EXPECT_EQ(ev[0].bytes, 6u);
  EXPECT_EQ(ev[1].kind, DecodeEvent::Kind::Frame);

  // A length beyond 2 MiB - 9: everything is ignored until a silence.
  ev.clear();
  d.feed(bytes({0x01, 3, 0, 0, 0xF8, 0xFF, 0x1F, 0x00}), ev);  // 2 MiB - 8
  ASSERT_EQ(ev.size(), 1u);
  EXPECT_EQ(ev[0].kind, DecodeEvent::Kind::BadLength);
  d.feed(encode_command_frame(4, "ignored"), ev);
  EXPECT_EQ(ev.size(), 1u);
  EXPECT_TRUE(d.has_partial());
  d.flush_stale(ev);
  ASSERT_EQ(ev.size(), 2u);
  EXPECT_EQ(ev[1].kind, DecodeEvent::Kind::Stale);
  ev.clear();
  d.feed(encode_command_frame(5, "ok"), ev);
  ASSERT_EQ(ev.size(), 1u);
  EXPECT_EQ(ev[0].kind, DecodeEvent::Kind::Frame);

  // The largest legal length is waited for, not refused.
  ev.clear();
  d.feed(bytes({0x01, 6, 0, 0, 0xF7, 0xFF, 0x1F, 0x00}), ev);
  EXPECT_TRUE(ev.empty());
  d.flush_stale(ev);
  ASSERT_EQ(ev.size(), 1u);
  EXPECT_EQ(ev[0].bytes, 8u);
}

TEST(FrameCodec, SequenceTracking) {
  SequenceTracker t;
  EXPECT_EQ(t.check(7), SequenceTracker::Verdict::First);
  EXPECT_EQ(t.check(8), SequenceTracker::Verdict::InOrder);
  EXPECT_EQ(t.check(0), SequenceTracker::Verdict::Restarted);
  EXPECT_EQ(t.check(5), SequenceTracker::Verdict::OutOfOrder);
  t.check(255);
  EXPECT_EQ(t.check(0), SequenceTracker::Verdict::InOrder);
}

}  // namespace
}  // namespace satemu

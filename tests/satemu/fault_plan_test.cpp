#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "frame_codec.h"
#include "transmit_plan.h"
#include "zlib_stream.h"

namespace satemu {
namespace {

FaultRule must_parse(const std::string &s) {
  std::string error;
  auto f = parse_fault(s, error);
  EXPECT_TRUE(f) << s << ": " << error;
  return f.value_or(FaultRule{});
}

TEST(FaultRule, NamesArgumentsAndDefaults) {
  EXPECT_EQ(must_parse("noreply").kind, FaultKind::NoReply);
  auto d = must_parse("delay:1500");
  EXPECT_EQ(d.kind, FaultKind::Delay);
  EXPECT_EQ(d.ms, 1500);
  EXPECT_EQ(must_parse("badtype").type_byte, 0);
  EXPECT_EQ(must_parse("badtype:0x7f").type_byte, 0x7F);
  EXPECT_EQ(must_parse("ackdata").ms, 60);
  EXPECT_EQ(must_parse("ackdata:100").ms, 100);
  auto s = must_parse("split");
  EXPECT_EQ(s.pieces, 3);
  EXPECT_EQ(s.ms, 10);
  s = must_parse("split:5:20");
  EXPECT_EQ(s.pieces, 5);
  EXPECT_EQ(s.ms, 20);
  EXPECT_EQ(must_parse("longlen").bytes, 64);
  EXPECT_EQ(must_parse("garbage").bytes, 32);
  EXPECT_EQ(must_parse("garbage:7").bytes, 7);
  for (const char *name : {"badsum", "ack", "ackglued", "huge", "busy", "vanish"}) {
    EXPECT_STREQ(fault_name(must_parse(name).kind), name);
  }
}

TEST(FaultRule, CommandAndCount) {
  auto f = must_parse("noreply@ConsultarSAT*3");
  EXPECT_EQ(f.command, "ConsultarSAT");
  EXPECT_EQ(f.count, 3);
  EXPECT_TRUE(f.matches("ConsultarSAT"));
  EXPECT_FALSE(f.matches("AtivarSAT"));
  EXPECT_EQ(f.with_count(2), "noreply@ConsultarSAT*2");
  EXPECT_EQ(f.with_count(1), "noreply@ConsultarSAT");
  EXPECT_EQ(must_parse("delay:10*0").count, 0);
  EXPECT_EQ(must_parse("busy").count, 1);
  // The export's name matches the command text it sends.
  EXPECT_TRUE(must_parse("busy@TrocarCodigoDeAtivacao").matches("TrocarCodigoDeAtivacaoSAT"));
}

TEST(FaultRule, Errors) {
  std::string error;
  for (const char *bad : {"", "nosuch", "delay", "delay:x", "badtype:256", "split:0", "noreply:1",
                          "garbage:-1", "reply", "salereply:abc"}) {
    EXPECT_FALSE(parse_fault(bad, error)) << bad;
    EXPECT_FALSE(error.empty());
  }
}

TEST(FaultRule, ReplyTexts) {
  auto r = must_parse("reply:$S|12345||");
  EXPECT_EQ(r.kind, FaultKind::Reply);
  EXPECT_EQ(fault_payload(r, "000042"), "000042|12345||");
  // Escapes, and ':' '@' '*' inside the text.
  r = must_parse(R"(reply:a\|b\x00c\nd:e\@f\*2*2)");
  EXPECT_EQ(r.count, 2);
  EXPECT_EQ(r.text, std::string("a|b\0c\nd:e@f*2", 13));
  r = must_parse("reply:x@AtivarSAT");
  EXPECT_EQ(r.command, "AtivarSAT");
  EXPECT_EQ(r.text, "x");
}

std::string inflate_tail(const std::string &payload, std::size_t six_at) {
  std::uint32_t d = 0;
  for (int i = 3; i >= 0; --i)
    d = (d << 8) | static_cast<std::uint8_t>(payload[six_at + static_cast<std::size_t>(i)]);
  EXPECT_EQ(d, payload.size() - six_at - 4);
  return zlib_inflate(std::string_view(payload).substr(six_at + 4), 8u << 20).data;
}

TEST(FaultRule, SaleReplies) {
  auto f = must_parse("salereply:$S|06000|0000|ok|||:X|Y|Z");
  EXPECT_EQ(f.command, "EnviarDadosVenda");  // implied
  std::string p = fault_payload(f, "000007");
  const std::string head = "000007|06000|0000|ok|||";
  ASSERT_EQ(p.substr(0, head.size()), head);
  EXPECT_EQ(inflate_tail(p, head.size()), "X|Y|Z");
  // A tail holding ':' still parses: TEXT6 ends at its sixth '|'.
  f = must_parse("salereply:1|2|3|4|5|6|:a:b");
  EXPECT_EQ(inflate_tail(fault_payload(f, "1"), 12), "a:b");

  f = must_parse("salereply:$S|06000|0000|ok|||:-");
  EXPECT_EQ(fault_payload(f, "9"), std::string("9|06000|0000|ok|||\0\0\0\0", 22));

  f = must_parse("salereply:$S|06000|0000|ok|||:!corrupt");
  p = fault_payload(f, "9");
  EXPECT_NE(zlib_inflate(std::string_view(p).substr(22), 8u << 20).error, InflateError::None);

  f = must_parse("salereply:$S|06000|0000|ok|||:!bomb");
  p = fault_payload(f, "9");
  EXPECT_LT(p.size(), 64u * 1024);
  EXPECT_GT(zlib_inflate(std::string_view(p).substr(22), 8u << 20).data.size(), 2u * 1024 * 1024);
}

class ControlFile : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("satemu-ctl-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    path_ = dir_ / "ctl";
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  void write(const std::string &text) { std::ofstream(path_, std::ios::binary) << text; }
  std::string read() {
    std::ifstream in(path_, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  std::filesystem::path dir_, path_;
};

TEST_F(ControlFile, ConsumesFirstMatchingLine) {
  FaultPlan plan({}, path_);
  std::vector<std::string> warnings;
  EXPECT_FALSE(plan.take("ConsultarSAT", warnings));  // no file: no fault
  write("busy@AtivarSAT\r\n\nnoreply*2\r\ndelay:5*0\n");
  auto f = plan.take("ConsultarSAT", warnings);
  ASSERT_TRUE(f);
  EXPECT_EQ(f->kind, FaultKind::NoReply);
  EXPECT_EQ(read(), "busy@AtivarSAT\nnoreply\ndelay:5*0\n");
  EXPECT_EQ(plan.take("ConsultarSAT", warnings)->kind, FaultKind::NoReply);
  EXPECT_EQ(read(), "busy@AtivarSAT\ndelay:5*0\n");
  EXPECT_EQ(plan.take("AtivarSAT", warnings)->kind, FaultKind::Busy);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(plan.take("AtivarSAT", warnings)->kind, FaultKind::Delay);
  EXPECT_EQ(read(), "delay:5*0\n");
  EXPECT_TRUE(warnings.empty());
  // No stray temporary files are left beside it.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir_), {}), 1);
}

TEST_F(ControlFile, KeepsUnreadableLinesAndComesBeforeTheCommandLine) {
  FaultPlan plan({must_parse("badsum*2")}, path_);
  write("# comment\nnosuchfault\nack@ExtrairLogs\n");
  std::vector<std::string> warnings;
  EXPECT_EQ(plan.take("ConsultarSAT", warnings)->kind, FaultKind::BadSum);
  EXPECT_EQ(warnings.size(), 1u);
  EXPECT_EQ(read(), "# comment\nnosuchfault\nack@ExtrairLogs\n");  // nothing used from it
  EXPECT_EQ(plan.take("ExtrairLogs", warnings)->kind, FaultKind::Ack);
  EXPECT_EQ(read(), "# comment\nnosuchfault\n");
  EXPECT_EQ(plan.take("ExtrairLogs", warnings)->kind, FaultKind::BadSum);
  EXPECT_FALSE(plan.take("ExtrairLogs", warnings));  // the command line's two uses are gone
}

TEST(TransmitPlan, ShapesOfTheAnswer) {
  std::mt19937 rng(1);
  const std::string payload = "000001|08000|SAT em Operação||";
  const std::string frame = encode_reply_frame(4, payload);
  auto plan = [&](const std::string &rule) {
    return plan_transmission(must_parse(rule), 4, payload, rng);
  };

  auto p = plan_transmission(std::nullopt, 4, payload, rng);
  ASSERT_EQ(p.steps.size(), 1u);
  EXPECT_EQ(p.steps[0].bytes, frame);
  EXPECT_EQ(p.steps[0].delay_ms, 0);

  EXPECT_TRUE(plan("noreply").steps.empty());
  EXPECT_TRUE(plan("vanish").vanish);
  EXPECT_EQ(plan("unplug").unplug_ms, 500);
  EXPECT_EQ(plan("unplug:20").unplug_ms, 20);
  EXPECT_TRUE(plan("unplug").steps.empty());
  EXPECT_EQ(plan("stall").stall_ms, 5000);
  EXPECT_TRUE(plan("stall:100").steps.empty());
  EXPECT_EQ(plan("delay:250").steps.at(0).delay_ms, 250);
  EXPECT_FALSE(parse_reply_frame(plan("badsum").steps.at(0).bytes)->checksum_ok);
  EXPECT_EQ(plan("badtype:0x42").steps.at(0).bytes[0], 0x42);
  EXPECT_EQ(plan("badtype").steps.at(0).bytes.substr(1), frame.substr(1));
  EXPECT_EQ(plan("ack").steps.at(0).bytes, "\x06");

  p = plan("ackdata:80");
  ASSERT_EQ(p.steps.size(), 2u);
  EXPECT_EQ(p.steps[1].delay_ms, 80);
  EXPECT_EQ(p.steps[1].bytes, frame);
  EXPECT_EQ(plan("ackglued").steps.at(0).bytes, "\x06" + frame);

  p = plan("split:4:15");
  ASSERT_EQ(p.steps.size(), 4u);
  std::string joined;
  for (const auto &s : p.steps) {
    EXPECT_FALSE(s.bytes.empty());
    joined += s.bytes;
  }
  EXPECT_EQ(joined, frame);
  EXPECT_EQ(p.steps[0].delay_ms, 0);
  EXPECT_EQ(p.steps[3].delay_ms, 15);
  EXPECT_EQ(plan("split:1000").steps.size(), frame.size());  // at most one byte a piece

  const std::string l = plan("longlen:10").steps.at(0).bytes;
  EXPECT_EQ(l.size(), frame.size());
  EXPECT_EQ(static_cast<std::uint8_t>(l[9]), payload.size() + 10);

  const std::string h = plan("huge").steps.at(0).bytes;
  const auto hf = parse_reply_frame(h);
  ASSERT_TRUE(hf);
  EXPECT_TRUE(hf->checksum_ok);
  EXPECT_GT(hf->payload.size(), 2u * 1024 * 1024);
  EXPECT_EQ(hf->payload.substr(0, payload.size()), payload);

  for (int i = 0; i < 50; ++i) {
    const std::string g = plan("garbage:5").steps.at(0).bytes;
    ASSERT_EQ(g.size(), 5u);
    const auto first = static_cast<std::uint8_t>(g[0]);
    EXPECT_TRUE(first != 0x01 && first != 0x06 && first != 0x11 && first != 0x15 && first != 0x16);
  }
}

}  // namespace
}  // namespace satemu

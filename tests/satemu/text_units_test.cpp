#include <gtest/gtest.h>

#include "base64.h"
#include "cfe_document.h"
#include "console_log.h"
#include "sat_device.h"
#include "xml_scan.h"
#include "zlib_stream.h"

namespace satemu {
namespace {

TEST(Base64, RoundTripAndPadding) {
  EXPECT_EQ(base64_encode(""), "");
  EXPECT_EQ(base64_encode("f"), "Zg==");
  EXPECT_EQ(base64_encode("fo"), "Zm8=");
  EXPECT_EQ(base64_encode("foo"), "Zm9v");
  EXPECT_EQ(base64_encode("foobar"), "Zm9vYmFy");
  std::string all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
  EXPECT_EQ(base64_decode(base64_encode(all)), all);
  EXPECT_EQ(base64_decode("Zm9v\nYmFy"), "foobar");
  EXPECT_FALSE(base64_decode("Zm9v!"));
  EXPECT_FALSE(base64_decode("Zg==Zg"));
}

TEST(Zlib, InflateIsBounded) {
  const std::string text(100000, 'a');
  const std::string z = zlib_compress(text);
  auto ok = zlib_inflate(z, text.size());
  EXPECT_EQ(ok.error, InflateError::None);
  EXPECT_EQ(ok.data, text);
  auto cut = zlib_inflate(z, 1000);
  EXPECT_EQ(cut.error, InflateError::TooLarge);
  EXPECT_EQ(cut.data.size(), 1000u);
  EXPECT_EQ(zlib_inflate(z.substr(0, z.size() / 2), 1u << 20).error, InflateError::Corrupt);
  EXPECT_EQ(zlib_inflate("not zlib at all", 1u << 20).error, InflateError::Corrupt);
}

TEST(XmlScan, FindsElementsTolerantly) {
  const std::string xml =
      "<?xml version=\"1.0\"?><CFe><infCFe versao=\"0.08\"><det nItem=\"1\"><prod><xProd>A &amp; "
      "B</xProd>"
      "</prod></det><detExtra>no</detExtra><det "
      "nItem='2'><prod/></det><obs><det>inner</det></obs></infCFe></CFe>";
  const auto dets = xml_find_all(xml, "det");
  ASSERT_EQ(dets.size(), 3u);
  EXPECT_EQ(xml_attribute(dets[0].attributes, "nItem"), "1");
  EXPECT_EQ(xml_attribute(dets[1].attributes, "nItem"), "2");
  EXPECT_EQ(xml_text(dets[0].inner, "xProd"), "A & B");
  EXPECT_TRUE(xml_find(dets[1].inner, "prod"));  // self-closing
  EXPECT_EQ(xml_find(dets[1].inner, "prod")->inner, "");
  EXPECT_EQ(xml_text(xml, "missing"), "");
  // Nested elements of the same name end at the matching tag.
  const std::string nested = "<a><a>x</a>y</a>";
  EXPECT_EQ(xml_find(nested, "a")->inner, "<a>x</a>y");
  // Truncated documents give nothing rather than running off the end.
  EXPECT_FALSE(xml_find("<a><b>x</b>", "a"));
  EXPECT_FALSE(xml_find("<a", "a"));
  EXPECT_EQ(xml_escape("<\"&>"), "&lt;&quot;&amp;&gt;");
}

TEST(Decimal, ParseAndFormat) {
  EXPECT_EQ(parse_decimal("14.90", 2), 1490);
  EXPECT_EQ(parse_decimal("2", 4), 20000);
  EXPECT_EQ(parse_decimal("1.005", 2), 101);  // half up
  EXPECT_EQ(parse_decimal("1.004", 2), 100);
  EXPECT_EQ(parse_decimal("-0.30", 2), -30);
  EXPECT_FALSE(parse_decimal("", 2));
  EXPECT_FALSE(parse_decimal("1,50", 2));
  EXPECT_FALSE(parse_decimal("1.", 2));
  EXPECT_FALSE(parse_decimal("9999999999999", 2));
  EXPECT_EQ(format_decimal(4308, 2), "43.08");
  EXPECT_EQ(format_decimal(5, 2), "0.05");
  EXPECT_EQ(format_decimal(-5, 2), "-0.05");
  EXPECT_EQ(format_decimal(20000, 4), "2.0000");
}

TEST(Printable, EscapesAndAbbreviates) {
  EXPECT_EQ(printable("SAT em Operação|\n\x01"), "SAT em Operação|\\n\\x01");
  EXPECT_EQ(printable("\xC3"), "\\xc3");  // a cut UTF-8 sequence
  const std::string big(1000, 'x');
  const std::string p = printable(big, 90);
  EXPECT_LT(p.size(), 140u);
  EXPECT_NE(p.find("(910 bytes)"), std::string::npos);
}

TEST(CommandParse, FieldsPerCommand) {
  auto c = parse_command("000042|ConsultarSAT");
  EXPECT_EQ(c.session, "000042");
  EXPECT_EQ(c.session_number, 42);
  EXPECT_EQ(c.name, "ConsultarSAT");
  EXPECT_TRUE(c.args.empty());
  // The last argument keeps any '|' it holds.
  c = parse_command("1|TesteFimAFim|code|<a>x|y</a>");
  ASSERT_EQ(c.args.size(), 2u);
  EXPECT_EQ(c.args[1], "<a>x|y</a>");
  c = parse_command("1|AtivarSAT|1|12345678|11222333000181|05");
  ASSERT_EQ(c.args.size(), 4u);
  EXPECT_EQ(c.args[3], "05");
  c = parse_command(std::string("1|EnviarDadosVenda|code|\x03\0\0\0abc", 31));
  ASSERT_EQ(c.args.size(), 1u);
  EXPECT_EQ(c.args[0], "code");
  EXPECT_EQ(c.block, std::string("\x03\0\0\0abc", 7));
  c = parse_command("abc|ConsultarSAT");
  EXPECT_EQ(c.session_number, -1);
  c = parse_command("");
  EXPECT_EQ(c.name, "");
}

}  // namespace
}  // namespace satemu

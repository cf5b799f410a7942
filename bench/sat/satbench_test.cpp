#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "emu_log.h"
#include "measure.h"
#include "sale_data.h"
#include "zlib_runtime.h"

namespace torvex::bench {
namespace {

std::size_t Count(const std::string &s, const std::string &what) {
  std::size_t n = 0;
  for (std::size_t p = s.find(what); p != std::string::npos; p = s.find(what, p + 1)) ++n;
  return n;
}

TEST(SaleData, ExactSizeWellFormedWithinTheItemLimitAndCompressesLikeText) {
  ZlibRuntime zlib;
  ASSERT_TRUE(zlib.Loaded());
  for (std::size_t size :
       {std::size_t{4096}, std::size_t{65536}, std::size_t{1048576}, std::size_t{2093056}}) {
    SCOPED_TRACE(size);
    std::string sale = MakeSale(size, 1);
    EXPECT_EQ(sale.size(), size);
    EXPECT_EQ(sale.rfind("<?xml", 0), 0u);
    EXPECT_EQ(sale.substr(sale.size() - 7), "</CFe>\n");
    EXPECT_NE(sale.find(std::string("<CNPJ>") + kSaleIssuerCnpj + "</CNPJ>"), std::string::npos);
    std::size_t items = Count(sale, "<det nItem=");
    EXPECT_GE(items, 1u);
    EXPECT_LE(items, static_cast<std::size_t>(kMaxSaleItems));
    EXPECT_EQ(items, Count(sale, "</det>"));
    // Varied enough not to collapse like one repeated byte, yet XML.
    std::vector<std::uint8_t> out(ZlibRuntime::Bound(size));
    auto packed = zlib.Compress(sale, 2, out.data(), out.size());
    ASSERT_TRUE(packed.has_value());
    EXPECT_GT(*packed * 30, size);
    EXPECT_LT(*packed * 2, size);
    std::vector<std::uint8_t> back(size);
    auto expanded = zlib.Uncompress(out.data(), *packed, back.data(), back.size());
    ASSERT_TRUE(expanded.has_value());
    EXPECT_EQ(std::string(back.begin(), back.end()), sale);
  }
  EXPECT_EQ(MakeSale(65536, 7), MakeSale(65536, 7));
  EXPECT_NE(MakeSale(65536, 7), MakeSale(65536, 8));
}

TEST(EmulatorLog, ReplyTimesBySessionFromTxLinesOnly) {
  auto path = std::filesystem::temp_directory_path() / "satbench_test_emu.log";
  {
    std::FILE *f = std::fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs(
        "10:00:00.001 satemu <- rx seq=1 len=19 sum=ok \"100000|ConsultarSAT\"\n"
        "10:00:00.002 satemu -> tx reply (46 bytes) seq=1 len=32 sum=ok \"100000|08000|SAT em "
        "Opera\\xc3\\xa7\\xc3\\xa3o||\"\n"
        "10:00:01.250 satemu -> tx ACK (1 bytes) ACK\n"
        "23:59:59.999 satemu -> tx reply (46 bytes) seq=2 len=32 sum=ok \"100001|08000|x\"\n"
        "garbage line\n"
        "10:00:02.000 satemu -> tx reply (9 bytes) \"12345|short session\"\n",
        f);
    std::fclose(f);
  }
  auto times = ReadReplyTimes(path.string());
  std::filesystem::remove(path);
  ASSERT_EQ(times.size(), 2u);
  EXPECT_EQ(times.at(100000), 36000002);
  EXPECT_EQ(times.at(100001), 86399999);
  EXPECT_TRUE(ReadReplyTimes("/nonexistent/satbench.log").empty());
}

TEST(Summary, NearestRankStatistics) {
  std::vector<double> v;
  for (int i = 10; i >= 1; --i) v.push_back(i);
  Summary s = Summarize(v);
  EXPECT_EQ(s.count, 10u);
  EXPECT_DOUBLE_EQ(s.min, 1);
  EXPECT_DOUBLE_EQ(s.max, 10);
  EXPECT_DOUBLE_EQ(s.median, 6);  // rank 0.5 * 9 rounded: the 6th value
  EXPECT_DOUBLE_EQ(s.p90, 9);
  EXPECT_DOUBLE_EQ(s.mean, 5.5);
  EXPECT_EQ(Summarize({}).count, 0u);
}

}  // namespace
}  // namespace torvex::bench

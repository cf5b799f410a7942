#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <regex>

#include "access_key.h"
#include "base64.h"
#include "sat_device.h"
#include "xml_scan.h"
#include "zlib_stream.h"

namespace satemu {
namespace {

std::vector<std::string> fields(const std::string &text) {
  std::vector<std::string> out;
  std::size_t from = 0;
  while (true) {
    const std::size_t bar = text.find('|', from);
    out.push_back(text.substr(from, bar == std::string::npos ? std::string::npos : bar - from));
    if (bar == std::string::npos) return out;
    from = bar + 1;
  }
}

const char kCode[] = "12345678";
const char kCnpj[] = "11222333000181";
const char kSoftwareHouse[] = "22233344000183";

std::string sale_xml(const std::string &items, const std::string &payment = "50.00",
                     const std::string &extra_total = "", const std::string &issuer = kCnpj,
                     const std::string &sign = "c2lnbg==") {
  return "<?xml version=\"1.0\"?><CFe><infCFe versaoDadosEnt=\"0.08\"><ide><CNPJ>" +
         std::string(kSoftwareHouse) + "</CNPJ><signAC>" + sign +
         "</signAC><numeroCaixa>002</numeroCaixa></ide><emit><CNPJ>" + issuer +
         "</CNPJ><IE>111111111111</IE><indRatISSQN>N</indRatISSQN></emit><dest><CPF>12345678909</"
         "CPF></dest>" +
         items + "<total>" + extra_total + "</total><pgto><MP><cMP>01</cMP><vMP>" + payment +
         "</vMP></MP></pgto></infCFe></CFe>";
}

std::string item(const std::string &q, const std::string &price, const std::string &more = "") {
  return "<det nItem=\"1\"><prod><cProd>1</cProd><xProd>ITEM &amp; "
         "CO</xProd><CFOP>5102</CFOP><uCom>UN</uCom><qCom>" +
         q + "</qCom><vUnCom>" + price + "</vUnCom>" + more +
         "</prod><imposto><ICMS><ICMSSN102><Orig>0</Orig><CSOSN>102</CSOSN></ICMSSN102></ICMS></"
         "imposto></det>";
}

std::string sale_command(const std::string &session, const std::string &code,
                         const std::string &xml) {
  const std::string z = zlib_compress(xml, 2);
  std::string p = session + "|EnviarDadosVenda|" + code + "|";
  for (int i = 0; i < 4; ++i) p.push_back(static_cast<char>((z.size() >> (8 * i)) & 0xFF));
  return p + z;
}

class Device : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("satemu-dev-" +
            std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + "-" +
            std::to_string(::getpid()));
    std::filesystem::remove_all(dir_);
    open();
  }
  void TearDown() override {
    device_.reset();
    store_.reset();
    std::filesystem::remove_all(dir_);
  }
  void open() {
    device_.reset();
    store_.reset();
    std::string error;
    auto opened = DeviceStore::open(dir_, error);
    ASSERT_TRUE(opened) << error;
    store_.emplace(std::move(*opened));
    if (store_->fresh()) store_->state().emergency_code = store_->state().sat_serial;
    // 9 December 2026, 10:00 local time.
    std::tm tm{};
    tm.tm_year = 126;
    tm.tm_mon = 11;
    tm.tm_mday = 9;
    tm.tm_hour = 10;
    tm.tm_isdst = -1;
    const std::time_t when = std::mktime(&tm);
    device_.emplace(
        *store_, [when] { return when; }, 7);
  }
  Answer run(const std::string &payload) { return device_->handle(parse_command(payload)); }
  std::vector<std::string> ask(const std::string &payload) { return fields(run(payload).text); }
  void activate() { ASSERT_EQ(ask("000001|AtivarSAT|1|12345678|11222333000181|35")[1], "04000"); }
  std::vector<std::string> sell(const std::string &xml, const std::string &session = "000100") {
    return fields(run(sale_command(session, kCode, xml)).text);
  }

  std::filesystem::path dir_;
  std::optional<DeviceStore> store_;
  std::optional<SatDevice> device_;
};

TEST_F(Device, FreshDeviceWaitsForActivation) {
  auto r = ask("000001|ConsultarSAT");
  EXPECT_EQ(r, (std::vector<std::string>{"000001", "08000", "SAT em Operação", "", ""}));
  r = sell(sale_xml(item("1", "1.00")));
  ASSERT_EQ(r.size(), 6u);
  EXPECT_EQ(r[1], "06002");
  r = ask("000002|ConsultarStatusOperacional|12345678");
  EXPECT_EQ(r.size(), 5u);
  EXPECT_EQ(r[1], "10001");
  r = ask("000003|AtivarSAT|1|12345678|11222333000182|35");
  ASSERT_EQ(r.size(), 6u);  // AtivarSAT always carries the CSR field
  EXPECT_EQ(r[1], "04002");
  EXPECT_EQ(ask("000004|AtivarSAT|1|short|11222333000181|35")[1], "04099");
  EXPECT_EQ(ask("000005|AtivarSAT|1|12345678|11222333000181|99")[1], "04099");
  r = ask("000006|AtivarSAT|1|12345678|11222333000181|35");
  ASSERT_EQ(r.size(), 6u);
  EXPECT_EQ(r[1], "04000");
  EXPECT_EQ(r[2], "Ativado corretamente");
  const auto csr = base64_decode(r[5]);
  ASSERT_TRUE(csr);
  EXPECT_EQ(csr->rfind("-----BEGIN CERTIFICATE REQUEST-----", 0), 0u);
  EXPECT_EQ(ask("000007|AtivarSAT|1|12345678|11222333000181|35")[1], "04003");
}

TEST_F(Device, IcpBrasilActivationWaitsForTheCertificate) {
  auto r = ask("000001|AtivarSAT|2|12345678|11222333000181|35");
  ASSERT_EQ(r.size(), 6u);
  EXPECT_EQ(r[1], "04006");
  EXPECT_FALSE(store_->state().activated);
  EXPECT_EQ(ask("000002|ComunicarCertificadoICPBRASIL|wrongcode|Q0VSVA==")[1], "05001");
  EXPECT_EQ(ask("000003|ComunicarCertificadoICPBRASIL|12345678|")[1], "05002");
  r = ask("000004|ComunicarCertificadoICPBRASIL|12345678|Q0VSVA==");
  EXPECT_EQ(r, (std::vector<std::string>{"000004", "05000", "Certificado transmitido com sucesso",
                                         "", ""}));
  EXPECT_TRUE(store_->state().activated);
}

TEST_F(Device, SaleReplyAndTheDocumentItCarries) {
  activate();
  const std::string xml =
      sale_xml(item("2.0000", "14.90") + item("0.333", "10.00", "<vDesc>0.33</vDesc>"));
  const Answer a = run(sale_command("000100", kCode, xml));
  // On the wire: six '|'-terminated fields, length D, D bytes of zlib.
  const std::string head = "000100|06000|0000|Emitido com sucesso + conteúdo notas.|||";
  ASSERT_EQ(a.wire.substr(0, head.size()), head);
  std::uint32_t d = 0;
  for (int i = 3; i >= 0; --i)
    d = (d << 8) | static_cast<std::uint8_t>(a.wire[head.size() + static_cast<std::size_t>(i)]);
  ASSERT_EQ(d, a.wire.size() - head.size() - 4);
  const auto tail = zlib_inflate(std::string_view(a.wire).substr(head.size() + 4), 1u << 22);
  ASSERT_EQ(tail.error, InflateError::None);
  EXPECT_EQ(a.text, head + tail.data);

  const auto f = fields(a.text);
  ASSERT_EQ(f.size(), 12u);
  EXPECT_TRUE(std::regex_match(f[7], std::regex("20261209100000")));
  ASSERT_EQ(f[8].size(), 47u);
  EXPECT_EQ(f[8].substr(0, 3), "CFe");
  const std::string key = f[8].substr(3);
  EXPECT_TRUE(access_key_valid(key));
  EXPECT_EQ(key.substr(0, 6), "352612");
  EXPECT_EQ(key.substr(6, 14), kCnpj);
  EXPECT_EQ(key.substr(20, 2), "59");
  EXPECT_EQ(key.substr(22, 9), "900004019");
  EXPECT_EQ(key.substr(31, 6), "000001");
  // 2 x 14.90 + round(0.333 x 10.00) - 0.33 = 29.80 + 3.33 - 0.33.
  EXPECT_EQ(f[9], "32.80");
  EXPECT_EQ(f[10], "12345678909");
  EXPECT_EQ(f[11].size(), 344u);

  const auto cfe = base64_decode(f[6]);
  ASSERT_TRUE(cfe);
  const auto inf = xml_find(*cfe, "infCFe");
  ASSERT_TRUE(inf);
  EXPECT_EQ(xml_attribute(inf->attributes, "Id"), f[8]);
  EXPECT_EQ(xml_text(*cfe, "nCFe"), "000001");
  EXPECT_EQ(xml_text(*cfe, "cDV"), key.substr(43));
  EXPECT_EQ(xml_text(*cfe, "numeroCaixa"), "002");
  EXPECT_EQ(xml_text(xml_find(*cfe, "total")->inner, "vCFe"), "32.80");
  EXPECT_EQ(xml_text(xml_find(*cfe, "ICMSTot")->inner, "vProd"), "33.13");
  EXPECT_EQ(xml_text(xml_find(*cfe, "ICMSTot")->inner, "vDesc"), "0.33");
  EXPECT_EQ(xml_text(*cfe, "vTroco"), "17.20");
  const auto dets = xml_find_all(*cfe, "det");
  ASSERT_EQ(dets.size(), 2u);
  EXPECT_EQ(xml_text(dets[0].inner, "vProd"), "29.80");
  EXPECT_EQ(xml_text(dets[0].inner, "xProd"), "ITEM & CO");
  EXPECT_EQ(xml_text(dets[1].inner, "vItem"), "3.00");
  EXPECT_TRUE(xml_find(dets[1].inner, "CSOSN"));  // the taxes pass through

  // The next document takes the next number.
  const auto g = sell(xml, "000101");
  EXPECT_EQ(g[8].substr(3 + 31, 6), "000002");
}

TEST_F(Device, SaleRefusals) {
  activate();
  const std::string good = sale_xml(item("1", "10.00"));
  auto r = fields(run(sale_command("000001", "wrongcode", good)).text);
  EXPECT_EQ(r, (std::vector<std::string>{"000001", "06001", "0000", "Código de ativação inválido.",
                                         "", ""}));
  auto expect_invalid = [&](const std::string &payload) {
    const Answer a = run(payload);
    const auto f = fields(a.text);
    ASSERT_EQ(f.size(), 6u) << a.text;
    EXPECT_EQ(f[1], "06010");
    EXPECT_EQ(f[2], "1999");
    EXPECT_EQ(a.wire, a.text);  // failures carry no compressed tail
  };
  expect_invalid(sale_command("1", kCode, sale_xml("", "1.00")));          // no items
  expect_invalid(sale_command("1", kCode, sale_xml(item("1", "60.00"))));  // paid 50 < 60
  expect_invalid(sale_command("1", kCode, sale_xml(item("0", "1.00"))));
  // Factors whose product overflows 64 bits are refused, not wrapped.
  expect_invalid(
      sale_command("1", kCode, sale_xml(item("999999999999", "999999999999.999"), "1.00")));
  expect_invalid(
      sale_command("1", kCode, sale_xml(item("1", "1.00"), "50.00", "", "00000000000191")));
  expect_invalid(sale_command("1", kCode, "<CFe><infCFe><det>"));
  std::string corrupt = sale_command("1", kCode, good);
  corrupt[corrupt.size() - 10] ^= 0x55;
  corrupt[corrupt.size() - 20] ^= 0x55;
  expect_invalid(corrupt);
  std::string truncated = sale_command("1", kCode, good);
  truncated.resize(truncated.size() - 3);
  expect_invalid(truncated);
  expect_invalid("1|EnviarDadosVenda|12345678|");

  // More than 1500 KB of sale data.
  const std::string big =
      sale_xml(item("1", "1.00") + "<!--" + std::string(1600 * 1024, 'x') + "-->");
  r = fields(run(sale_command("2", kCode, big)).text);
  ASSERT_EQ(r.size(), 6u);
  EXPECT_EQ(r[1], "06005");
  EXPECT_EQ(store_->state().last_number, 0);  // nothing was issued
}

TEST_F(Device, CancellationOfTheLastSaleOnly) {
  activate();
  const auto first = sell(sale_xml(item("1", "10.00")), "000010");
  const auto second = sell(sale_xml(item("3", "1.50")), "000011");
  const std::string canc =
      "<CFeCanc><infCFe chCanc=\"" + second[8] + "\"><ide><CNPJ>" + kSoftwareHouse +
      "</CNPJ><signAC>c2lnbg==</signAC><numeroCaixa>002</numeroCaixa></ide><emit/><dest/>"
      "<total/></infCFe></CFeCanc>";
  auto r = ask("000012|CancelarUltimaVenda|12345678|" + first[8] + "|" + canc);
  EXPECT_EQ(r.size(), 6u);
  EXPECT_EQ(r[1], "07002");
  r = ask("000013|CancelarUltimaVenda|12345678|" + second[8] + "|<nothing/>");
  EXPECT_EQ(r[1], "07007");
  r = ask("000014|CancelarUltimaVenda|12345678|" + second[8] + "|" + canc);
  ASSERT_EQ(r.size(), 12u);
  EXPECT_EQ(r[1], "07000");
  EXPECT_EQ(r[2], "0000");
  EXPECT_EQ(r[3], "Cupom cancelado com sucesso + conteúdo CF-e-SAT cancelado.");
  EXPECT_EQ(r[9], "4.50");
  EXPECT_EQ(r[10], "12345678909");
  EXPECT_NE(r[8], second[8]);
  EXPECT_TRUE(access_key_valid(r[8].substr(3)));
  const auto cfe = base64_decode(r[6]);
  ASSERT_TRUE(cfe);
  const auto inf = xml_find(*cfe, "infCFe");
  EXPECT_EQ(xml_attribute(inf->attributes, "chCanc"), second[8]);
  EXPECT_TRUE(xml_find(*cfe, "CFeCanc"));
  // Cancelled once: not again.
  EXPECT_EQ(ask("000015|CancelarUltimaVenda|12345678|" + second[8] + "|" + canc)[1], "07002");
  // The last fiscal session is the cancellation.
  r = ask("000016|ConsultarUltimaSessaoFiscal|12345678");
  EXPECT_EQ(r[0], "000014");
  EXPECT_EQ(r.size(), 12u);
}

TEST_F(Device, ReplyLayoutsOfTheOtherFunctions) {
  activate();
  auto expect = [&](const std::string &payload, const std::string &code, std::size_t count) {
    const auto f = ask(payload);
    EXPECT_EQ(f.size(), count) << payload << " -> " << run(payload).text;
    EXPECT_EQ(f.at(1), code) << payload;
    return f;
  };
  EXPECT_EQ(expect("000020|ConsultarUltimaSessaoFiscal|12345678", "19003", 5)[2],
            "Nenhuma sessão fiscal encontrada.");
  const auto test =
      expect("000021|TesteFimAFim|12345678|" + sale_xml(item("1", "1.00")), "09000", 9);
  EXPECT_EQ(test[7], "000001");
  EXPECT_TRUE(access_key_valid(test[8].substr(3)));
  EXPECT_EQ(store_->state().last_number, 0);  // a test uses no number up
  expect("000022|TesteFimAFim|12345678|<x/>", "09099", 5);

  const auto st = expect("000023|ConsultarStatusOperacional|12345678", "10000", 28);
  EXPECT_EQ(st[5], "900004019");
  for (int i : {7, 9, 10, 11, 12})
    EXPECT_TRUE(std::regex_match(st[i], std::regex(R"(\d{3}\.\d{3}\.\d{3}\.\d{3})"))) << i;
  EXPECT_EQ(st[17], "20261209100000");
  EXPECT_EQ(st[27], "0");

  expect("000024|ConsultarNumeroSessao|12345678|999999", "11003", 5);
  EXPECT_EQ(run("000025|ConsultarNumeroSessao|12345678|23").text,
            run("000023|ConsultarStatusOperacional|12345678").text);
  expect("000026|ConsultarNumeroSessao|12345678|1", "04000",
         6);  // the stored reply, in its own layout

  expect(
      "000027|ConfigurarInterfaceDeRede|12345678|<config><tipoInter>ETHE</"
      "tipoInter><tipoLan>IPFIX</tipoLan>"
      "<lanIP>192.168.0.7</lanIP><lanMask>255.255.255.0</lanMask><lanGW>192.168.0.1</lanGW></"
      "config>",
      "12000", 5);
  EXPECT_EQ(ask("000028|ConsultarStatusOperacional|12345678")[7], "192.168.000.007");
  expect(
      "000029|ConfigurarInterfaceDeRede|12345678|<config><tipoLan>IPFIX</tipoLan><lanIP>300.1.1.1</"
      "lanIP></config>",
      "12002", 5);
  expect("000030|ConfigurarInterfaceDeRede|12345678|garbage", "12002", 5);

  expect("000031|AssociarAssinatura|12345678|" + std::string(kSoftwareHouse) +
             "00000000000191|c2lnbg==",
         "13004", 6);
  expect("000032|AssociarAssinatura|12345678|" + std::string(kSoftwareHouse) + kCnpj + "|", "13003",
         6);
  EXPECT_EQ(expect("000033|AssociarAssinatura|12345678|" + std::string(kSoftwareHouse) + kCnpj +
                       "|c2lnbg==",
                   "13000", 6)[2],
            "0000");
  EXPECT_EQ(sell(sale_xml(item("1", "1.00"), "1.00", "", kCnpj, "b3V0cm8="))[1], "06004");
  EXPECT_EQ(sell(sale_xml(item("1", "1.00")))[1], "06000");

  expect("000034|AtualizarSoftwareSAT|12345678", "14000", 5);
  const auto logs = expect("000035|ExtrairLogs|12345678", "15000", 6);
  const auto text = base64_decode(logs[5]);
  ASSERT_TRUE(text);
  EXPECT_TRUE(std::regex_search(*text, std::regex(R"(^\d{14}\|SAT\|INFO\|SAT ativado)")));

  expect("000036|BloquearSAT|12345678", "16000", 5);
  expect("000037|BloquearSAT|12345678", "16002", 5);
  EXPECT_EQ(sell(sale_xml(item("1", "1.00")))[1], "06006");
  EXPECT_EQ(ask("000038|ConsultarStatusOperacional|12345678")[27], "2");
  expect("000039|DesbloquearSAT|12345678", "17000", 5);
  expect("000040|DesbloquearSAT|12345678", "17003", 5);

  expect("1234567|TrocarCodigoDeAtivacaoSAT|12345678|1|novocodigo|novocodigo", "18097", 5);
  expect("000041|TrocarCodigoDeAtivacaoSAT|12345678|1|novocodigo|outrocodigo", "18003", 5);
  expect("000042|TrocarCodigoDeAtivacaoSAT|errado00|2|novocodigo|novocodigo", "18002", 5);
  expect("000043|TrocarCodigoDeAtivacaoSAT|12345678|1|novocodigo|novocodigo", "18000", 5);
  expect("000044|ExtrairLogs|12345678", "15001", 5);
  expect("000045|TrocarCodigoDeAtivacaoSAT|900004019|2|12345678|12345678", "18000",
         5);  // emergency code
  expect("000046|ExtrairLogs|12345678", "15000", 6);

  expect("000047|NoSuchCommand", "99999", 5);
}

TEST_F(Device, BusyRepliesKeepEachLayout) {
  EXPECT_EQ(fields(device_->busy(parse_command("000001|ConsultarSAT")).text),
            (std::vector<std::string>{"000001", "08098", "SAT em processamento. Tente novamente.",
                                      "", ""}));
  EXPECT_EQ(fields(device_->busy(parse_command(sale_command("000002", kCode, "x"))).text),
            (std::vector<std::string>{"000002", "06098", "0000",
                                      "SAT em processamento. Tente novamente.", "", ""}));
  EXPECT_EQ(fields(device_->busy(parse_command("3|CancelarUltimaVenda|a|b|c")).text).size(), 6u);
  EXPECT_EQ(fields(device_->busy(parse_command("3|AtivarSAT|1|a|b|35")).text).size(), 6u);
  EXPECT_EQ(fields(device_->busy(parse_command("3|TrocarCodigoDeAtivacaoSAT|a|1|b|b")).text)[1],
            "18098");
}

TEST_F(Device, StatePersistsAcrossInstances) {
  activate();
  const auto sale = sell(sale_xml(item("1", "10.00")), "000050");
  ASSERT_EQ(sale[1], "06000");
  ASSERT_EQ(ask("000051|BloquearSAT|12345678")[1], "16000");
  // A second emulator cannot take the directory while the first holds it.
  std::string error;
  EXPECT_FALSE(DeviceStore::open(dir_, error));
  EXPECT_NE(error.find("in use"), std::string::npos);

  open();  // the next day
  EXPECT_FALSE(store_->fresh());
  EXPECT_TRUE(store_->state().activated);
  EXPECT_EQ(ask("000052|AtivarSAT|1|12345678|11222333000181|35")[1], "04003");
  EXPECT_EQ(ask("000053|DesbloquearSAT|12345678")[1], "17000");
  EXPECT_EQ(ask("000054|ConsultarNumeroSessao|12345678|50"), sale);
  EXPECT_EQ(ask("000055|ConsultarUltimaSessaoFiscal|12345678"), sale);
  const auto next = sell(sale_xml(item("1", "10.00")), "000056");
  EXPECT_EQ(next[8].substr(3 + 31, 6), "000002");
  const std::string canc = "<CFeCanc><infCFe chCanc=\"" + next[8] + "\"></infCFe></CFeCanc>";
  EXPECT_EQ(ask("000057|CancelarUltimaVenda|12345678|" + next[8] + "|" + canc)[1], "07000");
}

TEST_F(Device, SessionStoreKeepsTheLastHundred) {
  for (int i = 1; i <= 105; ++i) run(std::to_string(i) + "|ConsultarSAT");
  EXPECT_FALSE(store_->find_session(5));
  EXPECT_TRUE(store_->find_session(6));
  EXPECT_EQ(store_->find_session(105), "105|08000|SAT em Operação||");
  open();
  EXPECT_FALSE(store_->find_session(5));
  EXPECT_TRUE(store_->find_session(6));
  std::size_t files = 0;
  for (const auto &e : std::filesystem::directory_iterator(dir_ / "sessions"))
    files += e.is_regular_file();
  EXPECT_EQ(files, 101u);  // 100 replies and the index
}

}  // namespace
}  // namespace satemu

namespace satemu {
namespace {

// Whatever arrives, the device answers with its session field and a code,
// and nothing throws.
TEST_F(Device, ArbitraryPayloadsGetAnAnswer) {
  activate();
  const char *names[] = {"AtivarSAT",
                         "ComunicarCertificadoICPBRASIL",
                         "EnviarDadosVenda",
                         "CancelarUltimaVenda",
                         "ConsultarSAT",
                         "TesteFimAFim",
                         "ConsultarStatusOperacional",
                         "ConsultarNumeroSessao",
                         "ConfigurarInterfaceDeRede",
                         "AssociarAssinatura",
                         "AtualizarSoftwareSAT",
                         "ExtrairLogs",
                         "BloquearSAT",
                         "DesbloquearSAT",
                         "TrocarCodigoDeAtivacaoSAT",
                         "ConsultarUltimaSessaoFiscal"};
  const std::string pieces[] = {
      "|",      "12345678", "1",       "35", "<CFe>",         "<infCFe>", "<det>",
      "<prod>", "<qCom>",   "</qCom>", "-1", "9999999999999", "\xff",     std::string(1, '\0'),
      "&amp",   "<",        ">",       "CFe"};
  std::mt19937 rng(42);
  for (int i = 0; i < 1000; ++i) {
    std::string p = std::to_string(rng() % 1000000) + "|" + names[rng() % 16];
    const int n = static_cast<int>(rng() % 12);
    for (int k = 0; k < n; ++k) {
      if (rng() % 4 == 0) {
        p.push_back(static_cast<char>(rng() & 0xFF));
      } else {
        p += pieces[rng() % (sizeof pieces / sizeof *pieces)];
      }
    }
    Answer a;
    ASSERT_NO_THROW(a = run(p)) << p;
    const auto f = fields(a.text);
    ASSERT_GE(f.size(), 5u) << p;
    EXPECT_EQ(f[0], p.substr(0, p.find('|')));
    EXPECT_EQ(f[1].size(), 5u) << a.text;
  }
}

}  // namespace
}  // namespace satemu

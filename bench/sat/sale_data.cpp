#include "sale_data.h"

#include <cstdio>

namespace torvex::bench {

namespace {

// A small linear congruential generator: the same sale for the same seed on
// every platform.
class Lcg {
 public:
  explicit Lcg(std::uint32_t seed) : state_(seed * 2654435761u + 1u) {}
  std::uint32_t Next() {
    state_ = state_ * 1664525u + 1013904223u;
    return state_ >> 8;
  }
  std::uint32_t Below(std::uint32_t n) { return Next() % n; }

 private:
  std::uint32_t state_;
};

const char *const kProducts[] = {"CAFE TORRADO E MOIDO 500G",
                                 "PAO DE FORMA INTEGRAL 400G",
                                 "ACUCAR REFINADO 1KG",
                                 "ARROZ TIPO 1 5KG",
                                 "FEIJAO CARIOCA 1KG",
                                 "OLEO DE SOJA 900ML",
                                 "LEITE UHT INTEGRAL 1L",
                                 "MACARRAO ESPAGUETE 500G",
                                 "FARINHA DE TRIGO 1KG",
                                 "SABAO EM PO 1KG",
                                 "DETERGENTE LIQUIDO 500ML",
                                 "PAPEL HIGIENICO 12 ROLOS",
                                 "CREME DENTAL 90G",
                                 "SABONETE 90G",
                                 "SHAMPOO 350ML",
                                 "BISCOITO RECHEADO 140G",
                                 "REFRIGERANTE 2L",
                                 "AGUA MINERAL 1,5L",
                                 "SUCO DE LARANJA 1L",
                                 "IOGURTE NATURAL 170G",
                                 "QUEIJO MUSSARELA KG",
                                 "PRESUNTO COZIDO KG",
                                 "MARGARINA 500G",
                                 "MANTEIGA 200G",
                                 "OVOS BRANCOS DZ",
                                 "BANANA PRATA KG",
                                 "TOMATE KG",
                                 "BATATA KG",
                                 "CEBOLA KG",
                                 "ALHO 200G",
                                 "CARNE MOIDA KG",
                                 "FRANGO CONGELADO KG",
                                 "LINGUICA TOSCANA KG",
                                 "SARDINHA EM LATA 125G",
                                 "MOLHO DE TOMATE 340G",
                                 "MILHO VERDE LATA 200G",
                                 "ACHOCOLATADO 400G",
                                 "CHA MATE 250G",
                                 "ESPONJA DE ACO 8UN",
                                 "AMACIANTE 2L"};
const char *const kUnits[] = {"UN", "KG", "UN", "UN", "PC", "UN", "LT", "CX"};
const char *const kNcm[] = {"09012100", "19059010", "17019900", "10063021", "07133319",
                            "15079011", "04012010", "19021900", "11010010", "34022000"};
const char *const kWords[] = {
    "lote",     "validade",   "fabricado", "em",          "conforme",     "embalagem", "original",
    "produto",  "nacional",   "importado", "por",         "distribuidor", "regional",  "de",
    "origem",   "garantia",   "troca",     "dias",        "mediante",     "nota",      "fiscal",
    "promocao", "leve",       "pague",     "unidade",     "caixa",        "fardo",     "peso",
    "liquido",  "aproximado", "conservar", "refrigerado", "temperatura",  "ambiente",  "consumir",
    "ate",      "apos",       "aberto",    "fornecedor",  "pedido"};

template <std::size_t N>
const char *Pick(Lcg &rng, const char *const (&list)[N]) {
  return list[rng.Below(N)];
}

// Free text of about length characters: words, numbers and dates.
std::string Notes(Lcg &rng, std::size_t length) {
  std::string s;
  while (s.size() < length) {
    if (!s.empty()) s += ' ';
    switch (rng.Below(8)) {
      case 0: {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%02u/%02u/20%02u", 1 + rng.Below(28), 1 + rng.Below(12),
                      26 + rng.Below(4));
        s += buf;
        break;
      }
      case 1:
        s += std::to_string(rng.Below(1000000));
        break;
      default:
        s += Pick(rng, kWords);
        break;
    }
  }
  s.resize(length);
  return s;
}

std::string Money(std::uint64_t cents) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%llu.%02llu", static_cast<unsigned long long>(cents / 100),
                static_cast<unsigned long long>(cents % 100));
  return buf;
}

std::string Item(Lcg &rng, int n, std::size_t notes, std::uint64_t &total) {
  unsigned qty = 1 + rng.Below(5);
  std::uint64_t price = 99 + rng.Below(9900);
  total += qty * price;
  char code[16];
  std::snprintf(code, sizeof code, "789%010u", rng.Below(2000000000u));
  std::string x;
  x += "    <det nItem=\"" + std::to_string(n) + "\">\n      <prod>\n";
  x += "        <cProd>" + std::string(code) + "</cProd>\n";
  x += "        <xProd>" + std::string(Pick(rng, kProducts)) + "</xProd>\n";
  x += "        <NCM>" + std::string(Pick(rng, kNcm)) + "</NCM>\n";
  x += "        <CFOP>5102</CFOP>\n";
  x += "        <uCom>" + std::string(Pick(rng, kUnits)) + "</uCom>\n";
  x += "        <qCom>" + std::to_string(qty) + ".0000</qCom>\n";
  x += "        <vUnCom>" + Money(price) + "</vUnCom>\n";
  x += "        <indRegra>A</indRegra>\n      </prod>\n";
  x += "      <imposto>\n";
  x += "        <ICMS><ICMSSN102><Orig>0</Orig><CSOSN>102</CSOSN></ICMSSN102></ICMS>\n";
  x += "        <PIS><PISSN><CST>49</CST></PISSN></PIS>\n";
  x += "        <COFINS><COFINSSN><CST>49</CST></COFINSSN></COFINS>\n      </imposto>\n";
  if (notes > 0) x += "      <infAdProd>" + Notes(rng, notes) + "</infAdProd>\n";
  x += "    </det>\n";
  return x;
}

}  // namespace

std::string MakeSale(std::size_t size, std::uint32_t seed) {
  Lcg rng(seed);
  std::string head =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<CFe>\n  <infCFe versaoDadosEnt=\"0.07\">\n"
      "    <ide>\n      <CNPJ>16716114000172</CNPJ>\n"
      "      "
      "<signAC>"
      "SGFzaCBkZSBleGVtcGxvOiBhc3NpbmF0dXJhIGRvIHNvZnR3YXJlIGRlIGNhaXhhIHZpbmN1bGFkYSBhbyBDTlBKIGRv"
      "IGNvbnRyaWJ1aW50ZQ==</signAC>\n"
      "      <numeroCaixa>001</numeroCaixa>\n    </ide>\n"
      "    <emit>\n      <CNPJ>" +
      std::string(kSaleIssuerCnpj) +
      "</CNPJ>\n      <IE>111111111111</IE>\n      <indRatISSQN>N</indRatISSQN>\n    </emit>\n"
      "    <dest>\n      <CPF>12345678909</CPF>\n    </dest>\n";
  // Room the tail needs besides the note text (payment value up to 12
  // digits): kept free while items are added.
  const std::size_t kTailRoom = 256;
  // Per-item notes long enough that the sale needs at most kMaxSaleItems
  // items (about 800 bytes of markup per item without notes).
  const std::size_t perItem = size / (kMaxSaleItems - 20);
  const std::size_t notes = perItem > 900 ? perItem - 800 : 0;

  std::string body;
  std::uint64_t total = 0;
  int n = 0;
  while (n < kMaxSaleItems - 10) {
    std::size_t itemNotes =
        notes == 0 ? 0 : notes / 2 + rng.Below(static_cast<std::uint32_t>(notes));
    std::string item = Item(rng, n + 1, itemNotes, total);
    if (head.size() + body.size() + item.size() + kTailRoom > size) break;
    body += item;
    ++n;
  }
  std::string tail = "    <total/>\n    <pgto>\n      <MP>\n        <cMP>01</cMP>\n        <vMP>" +
                     Money(total) +
                     "</vMP>\n      </MP>\n    </pgto>\n    <infAdic>\n      <infCpl>";
  std::string end = "</infCpl>\n    </infAdic>\n  </infCFe>\n</CFe>\n";
  std::size_t used = head.size() + body.size() + tail.size() + end.size();
  std::string note = used < size ? Notes(rng, size - used) : std::string();
  std::string sale = head + body + tail + note + end;
  return sale;
}

}  // namespace torvex::bench

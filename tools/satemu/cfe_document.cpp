#include "cfe_document.h"

#include <cstdio>

#include "base64.h"
#include "xml_scan.h"

namespace satemu {

std::optional<std::int64_t> parse_decimal(std::string_view text, int decimals) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  bool negative = false;
  if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  std::int64_t whole = 0;
  std::size_t i = 0;
  int digits = 0;
  for (; i < text.size() && text[i] != '.'; ++i) {
    if (text[i] < '0' || text[i] > '9' || ++digits > 12) return std::nullopt;
    whole = whole * 10 + (text[i] - '0');
  }
  std::int64_t scale = 1;
  for (int d = 0; d < decimals; ++d) scale *= 10;
  std::int64_t frac = 0;
  int taken = 0;
  bool round_up = false;
  if (i < text.size()) {
    ++i;  // '.'
    if (i == text.size()) return std::nullopt;
    for (std::size_t j = i; j < text.size(); ++j) {
      const char c = text[j];
      if (c < '0' || c > '9') return std::nullopt;
      if (taken < decimals) {
        frac = frac * 10 + (c - '0');
        ++taken;
      } else if (j == i + static_cast<std::size_t>(decimals)) {
        round_up = c >= '5';
      }
    }
  }
  for (; taken < decimals; ++taken) frac *= 10;
  std::int64_t v = whole * scale + frac + (round_up ? 1 : 0);
  return negative ? -v : v;
}

std::string format_decimal(std::int64_t value, int decimals) {
  std::int64_t scale = 1;
  for (int d = 0; d < decimals; ++d) scale *= 10;
  const bool negative = value < 0;
  const std::uint64_t mag =
      negative ? static_cast<std::uint64_t>(-value) : static_cast<std::uint64_t>(value);
  char buf[48];
  if (decimals == 0) {
    std::snprintf(buf, sizeof buf, "%s%llu", negative ? "-" : "",
                  static_cast<unsigned long long>(mag));
  } else {
    std::snprintf(buf, sizeof buf, "%s%llu.%0*llu", negative ? "-" : "",
                  static_cast<unsigned long long>(mag / static_cast<std::uint64_t>(scale)),
                  decimals,
                  static_cast<unsigned long long>(mag % static_cast<std::uint64_t>(scale)));
  }
  return buf;
}

namespace {

// Largest value of an item or a total: 999 billion, in cents.
constexpr std::int64_t kMaxCents = 99999999999999LL;

// Money field: absent -> 0; present and malformed -> error.
bool money(std::string_view xml, std::string_view tag, std::int64_t &out, std::string &error) {
  const auto e = xml_find(xml, tag);
  out = 0;
  if (!e) return true;
  const std::string text = xml_text(xml, tag);
  if (text.empty()) return true;
  const auto v = parse_decimal(text, 2);
  if (!v || *v < 0) {
    error = "valor inválido em " + std::string(tag) + ": " + text;
    return false;
  }
  out = *v;
  return true;
}

}  // namespace

SaleParse parse_sale(std::string_view xml) {
  SaleParse r;
  const auto cfe = xml_find(xml, "CFe");
  const auto inf = cfe ? xml_find(cfe->inner, "infCFe") : std::nullopt;
  if (!inf) {
    r.error = "grupo CFe/infCFe ausente";
    return r;
  }
  const std::string_view body = inf->inner;
  Sale s;
  if (const auto ide = xml_find(body, "ide")) {
    s.software_house_cnpj = xml_text(ide->inner, "CNPJ");
    s.sign_ac = xml_text(ide->inner, "signAC");
    s.till = xml_text(ide->inner, "numeroCaixa");
  }
  if (const auto emit = xml_find(body, "emit")) {
    s.issuer_cnpj = xml_text(emit->inner, "CNPJ");
    s.issuer_ie = xml_text(emit->inner, "IE");
    s.issuer_im = xml_text(emit->inner, "IM");
    s.issuer_tax_regime_issqn = xml_text(emit->inner, "cRegTribISSQN");
    s.issuer_apportion_issqn = xml_text(emit->inner, "indRatISSQN");
  }
  if (const auto dest = xml_find(body, "dest")) {
    s.buyer_cpf = xml_text(dest->inner, "CPF");
    s.buyer_cnpj = xml_text(dest->inner, "CNPJ");
    s.buyer_name = xml_text(dest->inner, "xNome");
  }
  const auto dets = xml_find_all(body, "det");
  if (dets.empty()) {
    r.error = "nenhum item (det) informado";
    return r;
  }
  if (dets.size() > 500) {
    r.error = "mais de 500 itens";
    return r;
  }
  for (const auto &det : dets) {
    const auto prod = xml_find(det.inner, "prod");
    if (!prod) {
      r.error = "item sem grupo prod";
      return r;
    }
    SaleItem item;
    item.code = xml_text(prod->inner, "cProd");
    item.description = xml_text(prod->inner, "xProd");
    item.ncm = xml_text(prod->inner, "NCM");
    item.cfop = xml_text(prod->inner, "CFOP");
    item.unit = xml_text(prod->inner, "uCom");
    const auto q = parse_decimal(xml_text(prod->inner, "qCom"), 4);
    const auto u = parse_decimal(xml_text(prod->inner, "vUnCom"), 3);
    if (!q || *q <= 0 || !u || *u < 0) {
      r.error = "quantidade (qCom) ou valor unitário (vUnCom) inválido no item " +
                std::to_string(s.items.size() + 1);
      return r;
    }
    // qCom has 4 decimals and vUnCom 3: the product has 7; round to cents.
    // Computed wide: both factors may have up to 12 integer digits.
    __extension__ typedef __int128 Wide;
    const Wide gross = (static_cast<Wide>(*q) * *u + 50000) / 100000;
    if (gross > kMaxCents) {
      r.error = "valor do item " + std::to_string(s.items.size() + 1) + " fora do limite";
      return r;
    }
    item.quantity = *q;
    item.unit_price = *u;
    item.gross = static_cast<std::int64_t>(gross);
    if (!money(prod->inner, "vDesc", item.discount, r.error) ||
        !money(prod->inner, "vOutro", item.other, r.error)) {
      return r;
    }
    item.net = item.gross - item.discount + item.other;
    if (item.net < 0) {
      r.error = "desconto maior que o valor do item " + std::to_string(s.items.size() + 1);
      return r;
    }
    if (const auto tax = xml_find(det.inner, "imposto")) item.tax_xml = std::string(tax->whole);
    s.total_gross += item.gross;
    s.total_discount += item.discount;
    s.total_other += item.other;
    s.total += item.net;
    s.items.push_back(std::move(item));
  }
  if (const auto total = xml_find(body, "total")) {
    if (const auto da = xml_find(total->inner, "DescAcrEntr")) {
      if (!money(da->inner, "vDescSubtot", s.subtotal_discount, r.error) ||
          !money(da->inner, "vAcresSubtot", s.subtotal_surcharge, r.error)) {
        return r;
      }
    }
  }
  s.total = s.total - s.subtotal_discount + s.subtotal_surcharge;
  if (s.total > kMaxCents) {
    r.error = "valor total fora do limite";
    return r;
  }
  if (s.total < 0) {
    r.error = "desconto sobre o subtotal maior que o total";
    return r;
  }
  const auto pgto = xml_find(body, "pgto");
  const auto mps = pgto ? xml_find_all(pgto->inner, "MP") : std::vector<XmlElement>{};
  if (mps.empty()) {
    r.error = "nenhum meio de pagamento (pgto/MP) informado";
    return r;
  }
  for (const auto &mp : mps) {
    SalePayment p;
    p.method = xml_text(mp.inner, "cMP");
    const auto v = parse_decimal(xml_text(mp.inner, "vMP"), 2);
    if (p.method.empty() || !v || *v < 0) {
      r.error = "meio de pagamento inválido (cMP/vMP)";
      return r;
    }
    p.amount = *v;
    s.paid += p.amount;
    s.payments.push_back(std::move(p));
  }
  if (s.paid < s.total) {
    r.error = "valor pago (" + format_decimal(s.paid, 2) + ") menor que o total (" +
              format_decimal(s.total, 2) + ")";
    return r;
  }
  s.change = s.paid - s.total;
  if (const auto adic = xml_find(body, "infAdic"))
    s.additional_info = xml_text(adic->inner, "infCpl");
  r.sale = std::move(s);
  return r;
}

std::optional<CancelRequest> parse_cancel(std::string_view xml, std::string &error) {
  const auto canc = xml_find(xml, "CFeCanc");
  const auto inf = canc ? xml_find(canc->inner, "infCFe") : std::nullopt;
  if (!inf) {
    error = "grupo CFeCanc/infCFe ausente";
    return std::nullopt;
  }
  CancelRequest c;
  if (auto ch = xml_attribute(inf->attributes, "chCanc")) c.cancelled_key = *ch;
  if (const auto ide = xml_find(inf->inner, "ide")) {
    c.software_house_cnpj = xml_text(ide->inner, "CNPJ");
    c.sign_ac = xml_text(ide->inner, "signAC");
    c.till = xml_text(ide->inner, "numeroCaixa");
  }
  if (const auto dest = xml_find(inf->inner, "dest")) {
    c.buyer_cpf = xml_text(dest->inner, "CPF");
    c.buyer_cnpj = xml_text(dest->inner, "CNPJ");
  }
  return c;
}

std::string pseudo_signature(std::string_view text) {
  // 64-bit FNV-1a seeds a xorshift generator: stable for a given text.
  std::uint64_t h = 1469598103934665603ULL;
  for (char c : text) {
    h ^= static_cast<std::uint8_t>(c);
    h *= 1099511628211ULL;
  }
  std::string bytes;
  bytes.reserve(256);
  for (int i = 0; i < 256; ++i) {
    h ^= h << 13;
    h ^= h >> 7;
    h ^= h << 17;
    bytes.push_back(static_cast<char>(h & 0xFF));
  }
  return base64_encode(bytes);
}

namespace {

void add_ide(std::string &x, const IssueContext &ctx, std::string_view sh_cnpj,
             std::string_view sign_ac, std::string_view till) {
  char num[16];
  x += "<ide>";
  std::snprintf(num, sizeof num, "%02d", ctx.cuf);
  xml_add(x, "cUF", num);
  std::snprintf(num, sizeof num, "%06d", ctx.cnf);
  xml_add(x, "cNF", num);
  xml_add(x, "mod", "59");
  xml_add(x, "nserieSAT", ctx.sat_serial);
  std::snprintf(num, sizeof num, "%06d", ctx.ncf);
  xml_add(x, "nCFe", num);
  xml_add(x, "dEmi", ctx.date);
  xml_add(x, "hEmi", ctx.time);
  xml_add(x, "cDV", ctx.key.substr(43, 1));
  xml_add(x, "tpAmb", ctx.test_environment ? "2" : "1");
  xml_add(x, "CNPJ", sh_cnpj);
  xml_add(x, "signAC", sign_ac);
  xml_add(x, "assinaturaQRCODE", ctx.qr_signature);
  xml_add(x, "numeroCaixa", till.empty() ? "001" : till);
  x += "</ide>";
}

void add_issuer(std::string &x, std::string_view cnpj, std::string_view ie, std::string_view im,
                std::string_view regime_issqn, std::string_view apportion) {
  x += "<emit>";
  xml_add(x, "CNPJ", cnpj);
  xml_add(x, "xNome", "CONTRIBUINTE EMULADO LTDA");
  xml_add(x, "xFant", "LOJA EMULADA");
  x += "<enderEmit>";
  xml_add(x, "xLgr", "RUA DOS TESTES");
  xml_add(x, "nro", "100");
  xml_add(x, "xBairro", "CENTRO");
  xml_add(x, "xMun", "SAO PAULO");
  xml_add(x, "CEP", "01001000");
  x += "</enderEmit>";
  xml_add(x, "IE", ie.empty() ? "111111111111" : ie);
  if (!im.empty()) xml_add(x, "IM", im);
  xml_add(x, "cRegTrib", "3");
  if (!regime_issqn.empty()) xml_add(x, "cRegTribISSQN", regime_issqn);
  xml_add(x, "indRatISSQN", apportion.empty() ? "N" : apportion);
  x += "</emit>";
}

void add_buyer(std::string &x, std::string_view cpf, std::string_view cnpj, std::string_view name) {
  if (cpf.empty() && cnpj.empty() && name.empty()) {
    x += "<dest/>";
    return;
  }
  x += "<dest>";
  if (!cpf.empty())
    xml_add(x, "CPF", cpf);
  else if (!cnpj.empty())
    xml_add(x, "CNPJ", cnpj);
  if (!name.empty()) xml_add(x, "xNome", name);
  x += "</dest>";
}

void add_signature(std::string &x, std::string_view key) {
  x += "<Signature xmlns=\"http://www.w3.org/2000/09/xmldsig#\"><SignedInfo>"
       "<CanonicalizationMethod Algorithm=\"http://www.w3.org/TR/2001/REC-xml-c14n-20010315\"/>"
       "<SignatureMethod Algorithm=\"http://www.w3.org/2001/04/xmldsig-more#rsa-sha256\"/>"
       "<Reference URI=\"#CFe";
  x += key;
  x += "\"><DigestMethod Algorithm=\"http://www.w3.org/2001/04/xmlenc#sha256\"/><DigestValue>";
  x += pseudo_signature(std::string("digest") + std::string(key)).substr(0, 44);
  x += "</DigestValue></Reference></SignedInfo><SignatureValue>";
  x += pseudo_signature(std::string("value") + std::string(key));
  x += "</SignatureValue></Signature>";
}

}  // namespace

std::string build_sale_cfe(const Sale &s, const IssueContext &ctx) {
  std::string x;
  x.reserve(2048 + s.items.size() * 512);
  x += "<?xml version=\"1.0\" encoding=\"UTF-8\"?><CFe><infCFe Id=\"CFe";
  x += ctx.key;
  x += "\" versao=\"0.08\" versaoDadosEnt=\"0.08\" versaoSB=\"010000\">";
  add_ide(x, ctx, s.software_house_cnpj, s.sign_ac, s.till);
  add_issuer(x, ctx.issuer_cnpj, s.issuer_ie, s.issuer_im, s.issuer_tax_regime_issqn,
             s.issuer_apportion_issqn);
  add_buyer(x, s.buyer_cpf, s.buyer_cnpj, s.buyer_name);
  int n = 0;
  for (const auto &it : s.items) {
    x += "<det nItem=\"" + std::to_string(++n) + "\"><prod>";
    xml_add(x, "cProd", it.code);
    xml_add(x, "xProd", it.description);
    if (!it.ncm.empty()) xml_add(x, "NCM", it.ncm);
    xml_add(x, "CFOP", it.cfop);
    xml_add(x, "uCom", it.unit);
    xml_add(x, "qCom", format_decimal(it.quantity, 4));
    xml_add(x, "vUnCom", format_decimal(it.unit_price, 3));
    xml_add(x, "vProd", format_decimal(it.gross, 2));
    xml_add(x, "indRegra", "A");
    if (it.discount) xml_add(x, "vDesc", format_decimal(it.discount, 2));
    if (it.other) xml_add(x, "vOutro", format_decimal(it.other, 2));
    xml_add(x, "vItem", format_decimal(it.net, 2));
    x += "</prod>";
    x += it.tax_xml.empty() ? std::string("<imposto/>") : it.tax_xml;
    x += "</det>";
  }
  x += "<total><ICMSTot>";
  xml_add(x, "vICMS", "0.00");
  xml_add(x, "vProd", format_decimal(s.total_gross, 2));
  xml_add(x, "vDesc", format_decimal(s.total_discount, 2));
  xml_add(x, "vPIS", "0.00");
  xml_add(x, "vCOFINS", "0.00");
  xml_add(x, "vPISST", "0.00");
  xml_add(x, "vCOFINSST", "0.00");
  xml_add(x, "vOutro", format_decimal(s.total_other, 2));
  x += "</ICMSTot>";
  if (s.subtotal_discount || s.subtotal_surcharge) {
    x += "<DescAcrEntr>";
    if (s.subtotal_discount)
      xml_add(x, "vDescSubtot", format_decimal(s.subtotal_discount, 2));
    else
      xml_add(x, "vAcresSubtot", format_decimal(s.subtotal_surcharge, 2));
    x += "</DescAcrEntr>";
  }
  xml_add(x, "vCFe", format_decimal(s.total, 2));
  x += "</total><pgto>";
  for (const auto &p : s.payments) {
    x += "<MP>";
    xml_add(x, "cMP", p.method);
    xml_add(x, "vMP", format_decimal(p.amount, 2));
    x += "</MP>";
  }
  xml_add(x, "vTroco", format_decimal(s.change, 2));
  x += "</pgto>";
  if (!s.additional_info.empty()) {
    x += "<infAdic>";
    xml_add(x, "infCpl", s.additional_info);
    x += "</infAdic>";
  }
  x += "</infCFe>";
  add_signature(x, ctx.key);
  x += "</CFe>";
  return x;
}

std::string build_cancel_cfe(const CancelRequest &req, const CancelledSale &sale,
                             const IssueContext &ctx) {
  std::string x;
  x += "<?xml version=\"1.0\" encoding=\"UTF-8\"?><CFeCanc><infCFe Id=\"CFe";
  x += ctx.key;
  x += "\" chCanc=\"CFe";
  x += sale.key;
  x += "\" versao=\"0.08\">";
  xml_add(x, "dEmi", sale.date);
  xml_add(x, "hEmi", sale.time);
  add_ide(x, ctx, req.software_house_cnpj, req.sign_ac, req.till);
  add_issuer(x, ctx.issuer_cnpj, "", "", "", "");
  add_buyer(x, sale.buyer_cpf, sale.buyer_cnpj, "");
  x += "<total>";
  xml_add(x, "vCFe", format_decimal(sale.total, 2));
  x += "</total><infAdic/></infCFe>";
  add_signature(x, ctx.key);
  x += "</CFeCanc>";
  return x;
}

}  // namespace satemu

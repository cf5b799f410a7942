// Sales and cancellations as the POS sends them, and the CF-e documents the
// device issues for them: totals computed from the items, the issuer's
// registration filled in, numbered and keyed by the device.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace satemu {

// Decimal text -> integer scaled by 10^decimals, rounded half up on extra
// digits. Accepts "12", "12.5", "-0.30"; nothing for anything else.
std::optional<std::int64_t> parse_decimal(std::string_view text, int decimals);
// Integer scaled by 10^decimals -> "12.50".
std::string format_decimal(std::int64_t value, int decimals);

struct SaleItem {
  std::string code;         // cProd
  std::string description;  // xProd
  std::string ncm, cfop, unit;
  std::int64_t quantity = 0;    // qCom, 4 decimals
  std::int64_t unit_price = 0;  // vUnCom, 3 decimals
  std::int64_t discount = 0;    // vDesc, cents
  std::int64_t other = 0;       // vOutro, cents
  std::int64_t gross = 0;       // vProd = qCom * vUnCom, cents
  std::int64_t net = 0;         // vItem = vProd - vDesc + vOutro, cents
  std::string tax_xml;          // <imposto> element as sent
};

struct SalePayment {
  std::string method;       // cMP
  std::int64_t amount = 0;  // vMP, cents
};

struct Sale {
  std::string software_house_cnpj;  // ide/CNPJ
  std::string sign_ac;              // ide/signAC
  std::string till;                 // ide/numeroCaixa
  std::string issuer_cnpj, issuer_ie, issuer_im;
  std::string issuer_tax_regime_issqn, issuer_apportion_issqn;
  std::string buyer_cpf, buyer_cnpj, buyer_name;
  std::vector<SaleItem> items;
  std::vector<SalePayment> payments;
  std::int64_t subtotal_discount = 0;   // DescAcrEntr/vDescSubtot
  std::int64_t subtotal_surcharge = 0;  // DescAcrEntr/vAcresSubtot
  std::string additional_info;          // infAdic/infCpl
  // Computed:
  std::int64_t total_gross = 0, total_discount = 0, total_other = 0;
  std::int64_t total = 0;   // vCFe
  std::int64_t paid = 0;    // sum of vMP
  std::int64_t change = 0;  // vTroco
  std::string buyer_id() const { return buyer_cpf.empty() ? buyer_cnpj : buyer_cpf; }
};

struct SaleParse {
  std::optional<Sale> sale;
  std::string error;  // why the content was refused
};

SaleParse parse_sale(std::string_view xml);

// The cancellation request: only its identification group matters.
struct CancelRequest {
  std::string cancelled_key;  // infCFe/@chCanc, when given
  std::string software_house_cnpj, sign_ac, till;
  std::string buyer_cpf, buyer_cnpj;
};
std::optional<CancelRequest> parse_cancel(std::string_view xml, std::string &error);

// Who issues and how the document is numbered.
struct IssueContext {
  std::string key;  // 44 digits
  int cuf = 35;
  int cnf = 0;
  int ncf = 0;
  std::string sat_serial;  // 9 digits
  std::string date;        // yyyymmdd
  std::string time;        // HHMMSS
  std::string issuer_cnpj;
  std::string qr_signature;
  bool test_environment = true;
};

std::string build_sale_cfe(const Sale &sale, const IssueContext &ctx);

// What the device keeps of the sale it cancels.
struct CancelledSale {
  std::string key;
  std::int64_t total = 0;
  std::string buyer_cpf, buyer_cnpj;
  std::string date, time;
};
std::string build_cancel_cfe(const CancelRequest &req, const CancelledSale &sale,
                             const IssueContext &ctx);

// A stand-in for the device's signature: 256 bytes derived from the text,
// base64-encoded (344 characters).
std::string pseudo_signature(std::string_view text);

}  // namespace satemu

#include "functions.h"

namespace hub {
namespace {

constexpr FieldKind T = FieldKind::kText;
constexpr FieldKind I = FieldKind::kInt;
constexpr FieldKind D = FieldKind::kTwoDigit;

std::vector<HubFunction> MakeTable() {
  return {
      {"ativarsat",
       "AtivarSAT",
       {{"tipo_certificado", I, false}, {"cnpj", T, false}, {"codigo_uf", D, false}},
       300,
       true,
       false},
      {"comunicarcertificadoicpbrasil",
       "ComunicarCertificadoICPBRASIL",
       {{"certificado", T, false}},
       300,
       true,
       false},
      {"enviardadosvenda", "EnviarDadosVenda", {{"dados_venda", T, false}}, 8, true, true},
      {"cancelarultimavenda",
       "CancelarUltimaVenda",
       {{"chave_cfe", T, false}, {"dados_cancelamento", T, false}},
       4,
       true,
       true},
      {"consultarsat", "ConsultarSAT", {}, 2, false, false},
      {"testefimafim", "TesteFimAFim", {{"dados_venda", T, false}}, 20, true, false},
      {"consultarstatusoperacional", "ConsultarStatusOperacional", {}, 3, true, false},
      {"consultarnumerosessao",
       "ConsultarNumeroSessao",
       {{"numero_sessao", I, false}},
       20,
       true,
       false},
      {"configurarinterfacederede",
       "ConfigurarInterfaceDeRede",
       {{"configuracao", T, false}},
       20,
       true,
       false},
      {"associarassinatura",
       "AssociarAssinatura",
       {{"sequencia_cnpj", T, false}, {"assinatura_ac", T, false}},
       10,
       true,
       false},
      {"atualizarsoftwaresat", "AtualizarSoftwareSAT", {}, 1800, true, false},
      {"extrairlogs", "ExtrairLogs", {}, 20, true, false},
      {"bloquearsat", "BloquearSAT", {}, 300, true, false},
      {"desbloquearsat", "DesbloquearSAT", {}, 20, true, false},
      {"trocarcodigodeativacao",
       "TrocarCodigoDeAtivacao",
       {{"novo_codigo_ativacao", T, false}, {"opcao", I, false}, {"codigo_emergencia", T, true}},
       10,
       true,
       false},
      {"consultarultimasessaofiscal", "ConsultarUltimaSessaoFiscal", {}, 20, true, false},
      // Reached through the remote endpoint only: the library's two
      // compatibility names.
      {"",
       "ArocarCodigoDeAtivacaoSAT",
       {{"novo_codigo_ativacao", T, false}, {"opcao", I, false}, {"confirmacao_codigo", T, false}},
       20,
       true,
       false},
      {"", "AesteFimAFim", {{"dados_venda", T, false}}, 20, true, false},
  };
}

}  // namespace

const std::vector<HubFunction> &Functions() {
  static const std::vector<HubFunction> table = MakeTable();
  return table;
}

const HubFunction *FindByPath(std::string_view path) {
  if (path.empty()) return nullptr;
  for (const auto &f : Functions())
    if (path == f.path) return &f;
  return nullptr;
}

const HubFunction *FindByExport(std::string_view exportName) {
  for (const auto &f : Functions())
    if (exportName == f.exportName) return &f;
  return nullptr;
}

}  // namespace hub

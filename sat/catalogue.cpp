#include "catalogue.h"

namespace torvex::sat {
namespace {
constexpr auto k3 = ReplyPattern::kThreeFields;
constexpr auto k4 = ReplyPattern::kFourFields;
}  // namespace

// clang-format off
//                                          command text format                                    log name                          limit pattern LastRx on failure
const CommandRow kConsultarSAT                  {"%06ld|ConsultarSAT",                                "ConsultarSAT",                     2, k3, true,  kNotReadyText};
const CommandRow kAtivarSAT                     {"%06ld|AtivarSAT|%i|%s|%s|%02d",                     "AtivarSAT",                      300, k3, true,  kNotReadyText};
const CommandRow kComunicarCertificadoICPBRASIL {"%06ld|ComunicarCertificadoICPBRASIL|%s|%s",         "ComunicarCertificadoICPBRASIL",  300, k3, true,  kNotReadyText};
const CommandRow kEnviarDadosVenda              {"%06ld|EnviarDadosVenda|%s|",                        "EnviarDadosVenda",                 8, k4, true,  kNotReadyText};
const CommandRow kCancelarUltimaVenda           {"%06ld|CancelarUltimaVenda|%s|%s|%s",                "CancelarUltimaVenda",              4, k4, true,  kNotReadyText};
const CommandRow kTesteFimAFim                  {"%06ld|TesteFimAFim|%s|%s",                          "TesteFimAFim",                    20, k3, true,  kNotReadyText};
const CommandRow kConsultarStatusOperacional    {"%06ld|ConsultarStatusOperacional|%s",               "ConsultarStatusOperacional",       3, k3, true,  kNotReadyText};
const CommandRow kConsultarNumeroSessao         {"%06ld|ConsultarNumeroSessao|%s|%ld",                "ConsultarNumeroSessao",           20, k3, true,  kNotReadyText, ReplySession::kSentOrConsulted};
const CommandRow kConfigurarInterfaceDeRede     {"%06ld|ConfigurarInterfaceDeRede|%s|%s",             "ConfigurarInterfaceDeRede",       20, k3, true,  kNotReadyText};
const CommandRow kAssociarAssinatura            {"%06ld|AssociarAssinatura|%s|%s|%s",                 "AssociarAssinatura",              10, k3, true,  kNotReadyTextBang};
const CommandRow kAtualizarSoftwareSAT          {"%06ld|AtualizarSoftwareSAT|%s",                     "AtualizarSoftwareSAT",          1800, k3, true,  kNotReadyText};
const CommandRow kExtrairLogs                   {"%06ld|ExtrairLogs|%s",                              "ExtrairLogs",                     20, k3, true,  kNotReadyText};
const CommandRow kBloquearSAT                   {"%06ld|BloquearSAT|%s",                              "BloquearSAT",                    300, k3, false, kNotReadyText};
const CommandRow kDesbloquearSAT                {"%06ld|DesbloquearSAT|%s",                           "DesbloquearSAT",                  20, k3, false, kNotReadyText};
const CommandRow kTrocarCodigoDeAtivacao        {"%06ld|TrocarCodigoDeAtivacaoSAT|%s|%i|%s|%s",       "TrocarCodigoDeAtivacao",          10, k3, false, kNotReadyText};
const CommandRow kArocarCodigoDeAtivacaoSAT     {"%06ld|TrocarCodigoDeAtivacaoSAT|%s|%i|%s|%s",       "ArocarCodigoDeAtivacaoSAT",       20, k3, false, kNotReadyText};
const CommandRow kAesteFimAFim                  {"%06ld|TesteFimAFim|%s|%s",                          "AesteFimAFim",                    20, k3, false, kNotReadyText};
const CommandRow kConsultarUltimaSessaoFiscal   {"%06ld|ConsultarUltimaSessaoFiscal|%s",              "ConsultarUltimaSessaoFiscal",     20, k3, true,  kNotReadyText, ReplySession::kAny};
// clang-format on

}  // namespace torvex::sat

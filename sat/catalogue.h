// The SAT commands: one row of data per export, all driving the one
// command road.
#pragma once
#include "comm.h"

namespace torvex::sat {

extern const CommandRow kConsultarSAT;
extern const CommandRow kAtivarSAT;
extern const CommandRow kComunicarCertificadoICPBRASIL;
extern const CommandRow kEnviarDadosVenda;
extern const CommandRow kCancelarUltimaVenda;
extern const CommandRow kTesteFimAFim;
extern const CommandRow kConsultarStatusOperacional;
extern const CommandRow kConsultarNumeroSessao;
extern const CommandRow kConfigurarInterfaceDeRede;
extern const CommandRow kAssociarAssinatura;
extern const CommandRow kAtualizarSoftwareSAT;
extern const CommandRow kExtrairLogs;
extern const CommandRow kBloquearSAT;
extern const CommandRow kDesbloquearSAT;
extern const CommandRow kTrocarCodigoDeAtivacao;
extern const CommandRow kArocarCodigoDeAtivacaoSAT;
extern const CommandRow kAesteFimAFim;
extern const CommandRow kConsultarUltimaSessaoFiscal;

}  // namespace torvex::sat

// The SAT commands: one row of data per export, all driving the one
// command road.
#pragma once
#include "comm.h"

namespace torvex::sat {

extern const CommandSpec kConsultarSAT;
extern const CommandSpec kAtivarSAT;
extern const CommandSpec kComunicarCertificadoICPBRASIL;
extern const CommandSpec kEnviarDadosVenda;
extern const CommandSpec kCancelarUltimaVenda;
extern const CommandSpec kTesteFimAFim;
extern const CommandSpec kConsultarStatusOperacional;
extern const CommandSpec kConsultarNumeroSessao;
extern const CommandSpec kConfigurarInterfaceDeRede;
extern const CommandSpec kAssociarAssinatura;
extern const CommandSpec kAtualizarSoftwareSAT;
extern const CommandSpec kExtrairLogs;
extern const CommandSpec kBloquearSAT;
extern const CommandSpec kDesbloquearSAT;
extern const CommandSpec kTrocarCodigoDeAtivacao;
extern const CommandSpec kArocarCodigoDeAtivacaoSAT;
extern const CommandSpec kAesteFimAFim;
extern const CommandSpec kConsultarUltimaSessaoFiscal;

}  // namespace torvex::sat

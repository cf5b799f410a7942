// The SAT device itself: takes a command payload, carries the command out
// against the stored state and composes the reply in the layout of the SAT
// function interface:
//
//   numeroSessao|EEEEE|mensagem|cod|mensagemSEFAZ[|more fields]
//
// EEEEE is the function number (two digits) followed by the outcome (three):
// 000 success, 097 invalid session number, 098 busy, 099 unknown error, and
// per-function codes in between.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "cfe_document.h"
#include "device_store.h"

namespace satemu {

struct Command {
  std::string session;       // first field, as sent (at most 32 bytes)
  long session_number = -1;  // -1 when it is not a number of 1 to 9 digits
  std::string name;
  std::vector<std::string> args;  // further text fields
  std::string block;              // EnviarDadosVenda: bytes after "code|"
};

Command parse_command(std::string_view payload);

struct Answer {
  std::string wire;  // payload of the reply frame
  std::string text;  // the reply as the POS finally reads it (sale tail expanded)
  bool fiscal = false;
  std::string note;  // for the verbose log: what the device made of the command
};

// Two-digit function number of a command name, or 0 when unknown.
int function_number(std::string_view name);

class SatDevice {
 public:
  using Clock = std::function<std::time_t()>;
  SatDevice(DeviceStore &store, Clock clock, std::uint32_t seed);

  // Carries the command out and records its reply for session queries.
  Answer handle(const Command &cmd);
  // The "busy, try again" reply (xx098) for a command.
  Answer busy(const Command &cmd) const;

  // Largest sale (inflated XML) the device accepts.
  static constexpr std::size_t kMaxSaleSize = 1500 * 1024;

 private:
  Answer dispatch(const Command &cmd, int fn);
  Answer ativar(const Command &c);
  Answer comunicar_certificado(const Command &c);
  Answer enviar_venda(const Command &c);
  Answer issue_sale(const Command &c, std::string_view xml);
  Answer cancelar(const Command &c);
  Answer teste_fim_a_fim(const Command &c);
  Answer status_operacional(const Command &c);
  Answer numero_sessao(const Command &c);
  Answer configurar_rede(const Command &c);
  Answer associar(const Command &c);
  Answer atualizar(const Command &c);
  Answer extrair_logs(const Command &c);
  Answer bloquear(const Command &c);
  Answer desbloquear(const Command &c);
  Answer trocar_codigo(const Command &c);
  Answer ultima_sessao_fiscal(const Command &c);

  // Nothing when the code is right; otherwise the refusal.
  std::optional<Answer> refuse_code(const Command &c, int fn, std::string_view code) const;
  std::string stamp(const char *format) const;
  // The number the next CF-e gets (1 to 999999, then 1 again).
  int peek_number() const;
  std::optional<IssueContext> open_issue(bool use_number);
  void log(std::string_view level, std::string_view text);

  DeviceStore &store_;
  Clock clock_;
  std::mt19937 rng_;
  std::time_t now_ = 0;  // the clock, read once per command
};

}  // namespace satemu

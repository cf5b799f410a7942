// The SAT functions the hub serves: their HTTP names, export names, fields,
// wait limits, and the one place that calls the library's exports.
#pragma once
#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace hub {

// How a request field is read before it reaches an export.
enum class FieldKind {
  kText,      // bytes, as sent
  kInt,       // a decimal 32-bit integer
  kTwoDigit,  // a decimal integer 0..99 (the state code)
};

struct FieldDef {
  const char *name;  // the form field (public API name)
  FieldKind kind;
  bool optional;  // may be absent (then empty / 0)
};

// Which argument of the call the activation code fills.
enum class Activation { kNone, kConfigured };

struct HubFunction {
  const char *path;              // "enviardadosvenda" (public API), or "" for remote-only
  const char *exportName;        // "EnviarDadosVenda"
  std::vector<FieldDef> fields;  // public API fields (remote adds codigo_ativacao)
  int limitSeconds;              // the export's own wait limit
  bool takesActivationCode;      // the export has a codigoDeAtivacao argument
  bool fiscal;                   // a sale or cancellation (kept as the till's last fiscal call)
};

// The 18 SAT commands (16 of them on the public API).
const std::vector<HubFunction> &Functions();
const HubFunction *FindByPath(std::string_view path);
const HubFunction *FindByExport(std::string_view exportName);

// The command text the library builds is at most this long (2 MiB less the
// frame's envelope): a request whose fields cannot fit is refused before
// it reaches the device.
inline constexpr std::size_t kMaxCommandText = 2u * 1024u * 1024u - 9u;

// The arguments of one call, already checked: texts and integers in the
// order of the function's fields.
struct CallArgs {
  int session = 0;
  std::string activationCode;
  std::vector<std::string> texts;  // in the order of the function's kText fields
  std::vector<int> ints;           // in the order of its kInt/kTwoDigit fields
};

// What one export call gave.
struct CallResult {
  std::string retorno;   // the export's reply text
  int codigo = 0;        // CodigoErro's code
  std::string mensagem;  // CodigoErro's message
  std::string tx, rx;    // LastTx, LastRx
};

// Calls the export on the calling thread (the hub's device thread) and
// copies out everything it handed back.
CallResult Invoke(const HubFunction &fn, const CallArgs &args);

}  // namespace hub

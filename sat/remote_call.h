// Remote mode's half of the command road: once a command's text is
// composed, a library configured for a hub (remote_config.h) sends the
// export's name and arguments to the hub instead of the port, and hands the
// caller what the hub's call returned: the reply text, the status code and
// the status message, as the direct call would have given them.
//
// The request is POST /hub/remote/v1/call with the arguments form-encoded
// byte for byte; the reply is form-encoded too (retorno, codigo, mensagem,
// sessao_dispositivo, and optionally the hub's tx and rx). Failures of the
// hub itself become statuses: unreachable or refusing the till -> 1 with
// a text naming the hub; its queue time-out (503) -> 32768 with the
// library's time-out text; no whole reply within the function's limit plus
// the queue allowance -> 32768 naming the hub.
#pragma once
#include <cstddef>
#include <string>

#include "command_state.h"

namespace torvex::sat {

struct CommandRow;

// The request body: name=value pairs, every byte of a value that is not
// unreserved sent as %XX, so that no encoding is assumed.
class RemoteForm {
 public:
  void Add(const char *name, const char *value);
  void AddInt(const char *name, int value);
  const std::string &Body() const { return body_; }

 private:
  std::string body_;
};

// The fields of the hub's reply that the call uses.
struct RemoteReply {
  std::string retorno;
  int codigo = 0;
  std::string mensagem;
  std::string sessao;  // the device's session, for the trace log
  std::string tx, rx;  // the hub's own LastTx and LastRx, when it sends them
};

// Parses a form-encoded reply body. False when it is malformed: bad %XX,
// no retorno or codigo, a codigo that is not a status the library gives,
// a retorno over 2 MiB.
bool ParseRemoteReply(const std::string &body, RemoteReply &reply);

// The "erro" text of a JSON error body, cut to cap (empty when none).
void JsonErrorText(const std::string &body, char *out, std::size_t cap);

// True when the library runs in remote mode (the settings are read at the
// first command of the library's life).
bool RemoteEnabled(CommandState &state);

// Sends the command composed in state.CommandText, with form holding the
// export's own fields, to the hub; returns the text for the caller.
const char *RemoteCall(CommandState &state, const CommandRow &row, int session, RemoteForm &form);

}  // namespace torvex::sat

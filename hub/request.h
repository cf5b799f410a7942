// What the hub reads from a request itself: the form-encoded body, the till
// number, and each function's fields, checked against the export's bounds.
// Pure code (no sockets, no library): the fuzz target drives it directly.
#pragma once
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "functions.h"

namespace hub {

// A refusal: the HTTP status and the JSON error {"erro": ..., "campo": ...}.
struct HubError {
  int status = 400;
  std::string erro;
  std::string campo;  // the field at fault, or empty
};

// A form-encoded body's fields, decoded, in order.
struct Form {
  std::vector<std::pair<std::string, std::string>> fields;
  const std::string *Find(std::string_view name) const;
};

// At most this many fields, and field names of at most this many bytes.
inline constexpr std::size_t kMaxFormFields = 64;
inline constexpr std::size_t kMaxFieldName = 64;

// Decodes application/x-www-form-urlencoded text ('+' is a space, %XX a
// byte). A malformed escape, an over-long name, too many fields or a field
// given twice is refused naming the field.
std::optional<HubError> ParseForm(std::string_view body, Form &out);

// True when the Content-Type names form encoding (parameters allowed).
bool IsFormContentType(std::string_view contentType);

// The till from the form field or the header "numero_caixa" (either, or
// both when equal): 0..999.
std::optional<HubError> ParseTill(const Form &form, std::optional<std::string_view> header,
                                  int &till);

// A strict decimal 32-bit integer ("-5", "42"; no spaces, no "+").
bool ParseInt32(std::string_view text, int &value);

// A public API call: the function's fields from the form into args (texts
// and integers in the order of its fields). The session and the activation code
// are the hub's to fill.
std::optional<HubError> BuildPublicArgs(const HubFunction &fn, const Form &form, CallArgs &args);

// A remote call (POST /hub/remote/v1/call): the export named by funcao,
// with the caller's session and activation code.
struct RemoteCall {
  const HubFunction *fn = nullptr;
  int callerSession = 0;
  int consultedSession = 0;  // ConsultarNumeroSessao's cNumeroDeSessao (caller's numbering)
  bool latin1 = false;       // codificacao=latin1
  CallArgs args;             // session to be filled by the hub
};
std::optional<HubError> BuildRemoteCall(const Form &form, RemoteCall &call);

// Checks the request as a whole for the public API: method, path, content
// type, body. The path is the part after "/hub/v1/".
struct PublicRequest {
  const HubFunction *fn = nullptr;
  int till = 0;
  CallArgs args;
};
std::optional<HubError> ParsePublicRequest(std::string_view method, std::string_view function,
                                           std::string_view contentType, std::string_view body,
                                           std::optional<std::string_view> tillHeader,
                                           PublicRequest &out);

// JSON text of an error.
std::string ErrorJson(const HubError &e);

}  // namespace hub

// Any bytes through the request parsing torvex-hub does itself: the first
// byte picks the function and the till header, the rest is the body, read
// as a public API call and as a remote call. Checks beyond the sanitizers:
// a call that is taken has the function's fields, in range.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "request.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size == 0) return 0;
  const auto &functions = hub::Functions();
  const hub::HubFunction &fn = functions[data[0] % 16];
  std::string_view body(reinterpret_cast<const char *>(data + 1), size - 1);
  std::optional<std::string_view> header;
  if (data[0] & 0x80) header = body.substr(0, body.size() < 4 ? body.size() : 4);
  hub::PublicRequest pr;
  if (!hub::ParsePublicRequest("POST", fn.path, "application/x-www-form-urlencoded", body, header,
                               pr)) {
    if (pr.till < 0 || pr.till > 999 || pr.fn != &fn) std::abort();
    std::size_t texts = 0, ints = 0;
    for (const auto &f : fn.fields) (f.kind == hub::FieldKind::kText ? texts : ints)++;
    if (pr.args.texts.size() != texts || pr.args.ints.size() != ints) std::abort();
  }
  hub::Form form;
  if (!hub::ParseForm(body, form)) {
    if (form.fields.size() > hub::kMaxFormFields) std::abort();
    hub::RemoteCall rc;
    if (!hub::BuildRemoteCall(form, rc) && rc.fn == nullptr) std::abort();
  }
  return 0;
}

// The hub's side of the remote protocol (docs/hub-remote-protocol.md): the
// till's own session numbers mapped onto its range of device sessions and
// back, and the form-encoded reply.
#pragma once
#include <string>

#include "functions.h"
#include "request.h"
#include "server.h"
#include "session_book.h"

namespace hub {

struct RemotePlan {
  explicit RemotePlan(const RemoteCall &c) : call(c) {}
  RemoteCall call;
  int consultedDevice = 0;  // ConsultarNumeroSessao: the device session looked up
};

// Just before the device: a fresh device session for the call, remembered
// as the till's session; ConsultarNumeroSessao looks up the till's session.
void PrepareRemote(SessionBook &book, Job &job, const RemotePlan &plan);
// After the device: the reply as the direct call would have given it.
// ConsultarUltimaSessaoFiscal answers with the till's own last sale or
// cancellation; otherTill is set when the device's last one is another
// till's and the hub kept none of this till's (the call is then refused).
CallResult FinishRemote(SessionBook &book, const Job &job, const RemotePlan &plan,
                        const CallResult &result, bool &otherTill);
std::string RemoteReplyBody(const CallResult &r, int deviceSession);

// Percent-encodes every byte except unreserved characters.
std::string PercentEncode(const std::string &bytes);
// Text conversions for the texts the library made itself.
std::string Utf8ToLatin1(const std::string &text);  // unchanged when not valid UTF-8
std::string Latin1ToUtf8(const std::string &text);  // unchanged when already valid UTF-8

}  // namespace hub

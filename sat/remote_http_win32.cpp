// Remote mode's HTTP request on Windows: WinHTTP, the system's own client
// (winhttp.dll), in its synchronous form on the caller's thread. No proxy
// (the hub is on the store's network), no redirects, no automatic logon.
// The connect time-out bounds reaching the hub; every later step gets only
// what is left of the call's limit, checked again before each read, so a
// hub that trickles its reply cannot stretch the call.
#include <windows.h>
#include <winhttp.h>

#include <cstring>
#include <new>
#include <string>

#include "clock.h"
#include "remote_http.h"
#include "text.h"

namespace torvex::sat {

bool HttpsAvailable() { return true; }
// WinHTTP trusts Windows' certificate store only.
bool HttpsCaFileAvailable() { return false; }

namespace {

// One request's state, shared with WinHTTP's completion callback (which
// runs on WinHTTP's own threads). The caller waits on `done` for each step,
// never longer than what is left of the call's limit; when that runs out it
// closes the request, which ends the step. The state lives on the heap with
// two references, the caller's and the request handle's (dropped when
// WinHTTP reports the handle closing), and holds the request body and the
// read buffer, so that a step still ending after the call has returned
// never touches freed memory. The caller does not wait for the closing.
struct Call {
  HANDLE done = nullptr;  // a step completed (auto-reset)
  volatile LONG refs = 2;
  DWORD step = 0;               // the completion of the last step
  DWORD error = 0;              // its error (WINHTTP_CALLBACK_STATUS_REQUEST_ERROR)
  DWORD bytes = 0;              // bytes of a read
  volatile LONG connected = 0;  // the connection to the hub was made
  std::string body;
  char chunk[16384];

  void Release() {
    if (InterlockedDecrement(&refs) != 0) return;
    CloseHandle(done);
    delete this;
  }
};

void CALLBACK OnStatus(HINTERNET, DWORD_PTR context, DWORD status, LPVOID info, DWORD length) {
  auto *call = reinterpret_cast<Call *>(context);
  if (call == nullptr) return;
  switch (status) {
    case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
    case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE:
      call->step = status;
      SetEvent(call->done);
      break;
    case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
      call->step = status;
      call->bytes = length;
      SetEvent(call->done);
      break;
    case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR:
      call->step = status;
      call->error = static_cast<WINHTTP_ASYNC_RESULT *>(info)->dwError;
      SetEvent(call->done);
      break;
    case WINHTTP_CALLBACK_STATUS_CONNECTED_TO_SERVER:
      InterlockedExchange(&call->connected, 1);
      break;
    case WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING:
      call->Release();
      break;
    default:
      break;
  }
}

class Handle {
 public:
  explicit Handle(HINTERNET h = nullptr) : h_(h) {}
  ~Handle() {
    if (h_ != nullptr) WinHttpCloseHandle(h_);
  }
  Handle(const Handle &) = delete;
  Handle &operator=(const Handle &) = delete;
  HINTERNET get() const { return h_; }

 private:
  HINTERNET h_;
};

// ASCII to UTF-16 (host names, targets and headers are ASCII here).
void Widen(const char *text, wchar_t *out, std::size_t cap) {
  std::size_t i = 0;
  for (; text[i] != '\0' && i + 1 < cap; ++i) out[i] = static_cast<unsigned char>(text[i]);
  out[i] = L'\0';
}

void Detail(HttpPostReply &reply, const char *step) {
  FormatText(reply.detail, sizeof reply.detail, "%s: erro %lu", step,
             static_cast<unsigned long>(GetLastError()));
}

}  // namespace

HttpOutcome HttpPost(const HttpPostRequest &rq, HttpPostReply &reply) {
  std::uint32_t start = TickMs();
  auto left = [&]() -> std::int64_t {
    return rq.limitMs - static_cast<std::int64_t>(static_cast<std::uint32_t>(TickMs() - start));
  };
  const HubAddress &hub = *rq.hub;
  const std::string &body = *rq.body;
  if (body.size() > 0xffffffffu) return HttpOutcome::kTooLarge;

  Handle session(WinHttpOpen(L"torvex", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                             WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC));
  if (session.get() == nullptr) {
    Detail(reply, "WinHttpOpen");
    return HttpOutcome::kCannotConnect;
  }
  int connectMs =
      static_cast<int>(rq.connectTimeoutMs < rq.limitMs ? rq.connectTimeoutMs : rq.limitMs);
  int whole = static_cast<int>(rq.limitMs > 0x7fffffff ? 0x7fffffff : rq.limitMs);
  WinHttpSetTimeouts(session.get(), connectMs, connectMs, whole, whole);

  wchar_t host[kHubHostSize];
  Widen(hub.host, host, sizeof host / sizeof host[0]);
  Handle connection(WinHttpConnect(session.get(), host, static_cast<INTERNET_PORT>(hub.port), 0));
  if (connection.get() == nullptr) {
    Detail(reply, "WinHttpConnect");
    return HttpOutcome::kCannotConnect;
  }
  wchar_t target[64];
  Widen(rq.target, target, sizeof target / sizeof target[0]);
  HINTERNET request =
      WinHttpOpenRequest(connection.get(), L"POST", target, nullptr, WINHTTP_NO_REFERER,
                         WINHTTP_DEFAULT_ACCEPT_TYPES, hub.tls ? WINHTTP_FLAG_SECURE : 0);
  if (request == nullptr) {
    Detail(reply, "WinHttpOpenRequest");
    return HttpOutcome::kCannotConnect;
  }
  auto *call = new (std::nothrow) Call;
  if (call != nullptr) call->done = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (call == nullptr || call->done == nullptr ||
      WinHttpSetStatusCallback(request, &OnStatus,
                               WINHTTP_CALLBACK_FLAG_ALL_COMPLETIONS |
                                   WINHTTP_CALLBACK_FLAG_HANDLES |
                                   WINHTTP_CALLBACK_FLAG_CONNECT_TO_SERVER,
                               0) == WINHTTP_INVALID_STATUS_CALLBACK) {
    Detail(reply, "WinHttpSetStatusCallback");
    WinHttpCloseHandle(request);
    if (call != nullptr) {
      if (call->done) CloseHandle(call->done);
      delete call;
    }
    return HttpOutcome::kCannotConnect;
  }
  // From here the request handle holds a reference: closing it gives it up.
  try {
    call->body = body;
  } catch (...) {
    WinHttpCloseHandle(request);
    call->Release();
    throw;
  }
  DWORD_PTR context = reinterpret_cast<DWORD_PTR>(call);
  WinHttpSetOption(request, WINHTTP_OPTION_CONTEXT_VALUE, &context, sizeof context);
  DWORD disable = WINHTTP_DISABLE_REDIRECTS | WINHTTP_DISABLE_KEEP_ALIVE;
  WinHttpSetOption(request, WINHTTP_OPTION_DISABLE_FEATURE, &disable, sizeof disable);

  char headers[512];
  int n = FormatText(headers, sizeof headers,
                     "Content-Type: application/x-www-form-urlencoded\r\nnumero_caixa: %d\r\n",
                     rq.till);
  if (rq.token != nullptr && rq.token[0] != '\0' && n > 0)
    FormatText(headers + n, sizeof headers - static_cast<std::size_t>(n),
               "Authorization: Bearer %s\r\n", rq.token);
  wchar_t wideHeaders[512];
  Widen(headers, wideHeaders, sizeof wideHeaders / sizeof wideHeaders[0]);

  // Waits for the step started (started false: it failed at once) to
  // complete with expected; false on an error or when the limit ran out.
  bool timedOut = false;
  auto await = [&](BOOL started, DWORD expected, const char *what) {
    if (!started) {
      call->error = GetLastError();
      Detail(reply, what);
      return false;
    }
    std::int64_t remaining = left();
    if (remaining <= 0 ||
        WaitForSingleObject(call->done, static_cast<DWORD>(remaining)) != WAIT_OBJECT_0) {
      timedOut = true;
      FormatText(reply.detail, sizeof reply.detail, "%s: sem resposta no prazo", what);
      return false;
    }
    if (call->step != expected) {
      FormatText(reply.detail, sizeof reply.detail, "%s: erro %lu", what,
                 static_cast<unsigned long>(call->error));
      return false;
    }
    return true;
  };

  HttpOutcome outcome = HttpOutcome::kReplied;
  DWORD status = 0;
  if (!await(WinHttpSendRequest(request, wideHeaders, static_cast<DWORD>(-1L), &call->body[0],
                                static_cast<DWORD>(call->body.size()),
                                static_cast<DWORD>(call->body.size()), context),
             WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE, "WinHttpSendRequest")) {
    // Until the connection is made the hub was not reached; after it
    // (Wine's WinHTTP may report the send only with the reply), whether the
    // hub ran the call is not known.
    if (InterlockedCompareExchange(&call->connected, 0, 0) == 0)
      outcome = HttpOutcome::kCannotConnect;
    else if (timedOut || call->error == ERROR_WINHTTP_TIMEOUT)
      outcome = HttpOutcome::kTimedOut;
    else
      outcome = HttpOutcome::kLost;
  } else if (!await(WinHttpReceiveResponse(request, nullptr),
                    WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE, "WinHttpReceiveResponse")) {
    // Nothing or no HTTP came back after the request went out: whether the
    // hub ran the call is not known.
    outcome = timedOut || call->error == ERROR_WINHTTP_TIMEOUT ? HttpOutcome::kTimedOut
                                                               : HttpOutcome::kLost;
  } else {
    DWORD size = sizeof status;
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &size,
                             WINHTTP_NO_HEADER_INDEX)) {
      Detail(reply, "WinHttpQueryHeaders");
      outcome = HttpOutcome::kTooLarge;
    }
    reply.body.clear();
    while (outcome == HttpOutcome::kReplied) {
      if (!await(WinHttpReadData(request, call->chunk, sizeof call->chunk, nullptr),
                 WINHTTP_CALLBACK_STATUS_READ_COMPLETE, "WinHttpReadData")) {
        outcome = timedOut || call->error == ERROR_WINHTTP_TIMEOUT ? HttpOutcome::kTimedOut
                                                                   : HttpOutcome::kLost;
        break;
      }
      if (call->bytes == 0) break;
      if (reply.body.size() + call->bytes > kHubReplyMax) {
        outcome = HttpOutcome::kTooLarge;
        break;
      }
      reply.body.append(call->chunk, call->bytes);
    }
  }
  // Closing the request ends a step still running; the state outlives it.
  WinHttpCloseHandle(request);
  call->Release();
  reply.status = static_cast<int>(status);
  return outcome;
}

}  // namespace torvex::sat

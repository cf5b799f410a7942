// A scripted stand-in for the hub's remote endpoint, for the library's
// remote-mode tests: listens on 127.0.0.1 (an ephemeral port, written to
// --port-file), records each request whole in --log, and answers according
// to the request's numero_sessao:
//
//   401, 403, 404, 400, 409   that HTTP status with a JSON error body
//   503                  the queue time-out (Retry-After)
//   900                  never answers (the connection stays open)
//   777                  200 with a bad %-escape in retorno
//   778                  200 with a codigo that is no status
//   779                  closes the connection without a word
//   780                  bytes that are not HTTP
//   anything else        200: retorno "<sessao>|08000|Resposta do hub|<funcao>|<dados_venda>",
//                        codigo 0, the message the library would make,
//                        sessao_dispositivo 654321, tx and rx
//
// Test code only: one thread per connection, one request per connection.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

namespace {

std::mutex g_logLock;
const char *g_logPath = nullptr;

std::string Field(const std::string &body, const std::string &name) {
  std::size_t at = 0;
  while (at <= body.size()) {
    std::size_t end = body.find('&', at);
    if (end == std::string::npos) end = body.size();
    std::string pair = body.substr(at, end - at);
    if (pair.compare(0, name.size() + 1, name + "=") == 0) {
      std::string raw = pair.substr(name.size() + 1), out;
      for (std::size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '%' && i + 2 < raw.size() + 0 && i + 2 <= raw.size() - 1) {
          out.push_back(static_cast<char>(std::strtol(raw.substr(i + 1, 2).c_str(), nullptr, 16)));
          i += 2;
        } else {
          out.push_back(raw[i] == '+' ? ' ' : raw[i]);
        }
      }
      return out;
    }
    at = end + 1;
  }
  return "";
}

std::string Encode(const std::string &text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 15]);
    }
  }
  return out;
}

void SendAll(int fd, const std::string &data) {
  std::size_t sent = 0;
  while (sent < data.size()) {
    ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return;
    sent += static_cast<std::size_t>(n);
  }
}

std::string Response(int status, const char *reason, const std::string &type,
                     const std::string &body, const std::string &extra = "") {
  return "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\nContent-Type: " + type +
         "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + extra +
         "Connection: close\r\n\r\n" + body;
}

void Serve(int fd) {
  std::string request;
  char buf[65536];
  std::size_t headerEnd = std::string::npos, length = 0;
  for (;;) {
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    request.append(buf, static_cast<std::size_t>(n));
    if (headerEnd == std::string::npos) {
      headerEnd = request.find("\r\n\r\n");
      if (headerEnd != std::string::npos) {
        std::string lower = request.substr(0, headerEnd);
        for (char &c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        std::size_t cl = lower.find("content-length:");
        if (cl != std::string::npos) length = std::strtoul(lower.c_str() + cl + 15, nullptr, 10);
      }
    }
    if (headerEnd != std::string::npos && request.size() >= headerEnd + 4 + length) break;
  }
  if (headerEnd == std::string::npos) {
    close(fd);
    return;
  }
  std::string body = request.substr(headerEnd + 4);
  {
    std::lock_guard<std::mutex> hold(g_logLock);
    if (std::FILE *f = std::fopen(g_logPath, "wb")) {
      std::fwrite(request.data(), 1, request.size(), f);
      std::fclose(f);
    }
  }
  std::string session = Field(body, "numero_sessao");
  std::string json = "application/json";
  std::string form = "application/x-www-form-urlencoded";
  if (session == "401") {
    SendAll(fd, Response(401, "Unauthorized", json, "{\"erro\": \"token invalido\"}"));
  } else if (session == "403") {
    SendAll(fd, Response(403, "Forbidden", json, "{\"erro\": \"endereco nao permitido\"}"));
  } else if (session == "409") {
    SendAll(fd, Response(409, "Conflict", json, "{\"erro\": \"outra caixa\"}"));
  } else if (session == "404") {
    SendAll(fd, Response(404, "Not Found", json, "{\"erro\": \"desconhecido\"}"));
  } else if (session == "400") {
    SendAll(fd, Response(400, "Bad Request", json,
                         "{\"erro\": \"campo \\\"dados_venda\\\" grande demais\", \"campo\": "
                         "\"dados_venda\"}"));
  } else if (session == "503") {
    SendAll(fd, Response(503, "Service Unavailable", json, "{\"erro\": \"fila\"}",
                         "Retry-After: 5\r\n"));
  } else if (session == "900") {
    while (recv(fd, buf, sizeof buf, 0) > 0) {
    }
  } else if (session == "777") {
    SendAll(fd, Response(200, "OK", form, "retorno=abc%zz&codigo=0"));
  } else if (session == "778") {
    SendAll(fd, Response(200, "OK", form, "retorno=abc&codigo=12345&mensagem=x"));
  } else if (session == "779") {
    // closed below without a reply
  } else if (session == "780") {
    SendAll(fd, "hello there\r\n\r\n");
  } else {
    std::string retorno = session + "|08000|Resposta do hub|" + Field(body, "funcao") + "|" +
                          Field(body, "dados_venda");
    std::string reply = "retorno=" + Encode(retorno) +
                        "&codigo=0&mensagem=" + Encode("Codigo: 08000.\nResposta do hub") +
                        "&sessao_dispositivo=654321&tx=" + Encode("tx do hub") +
                        "&rx=" + Encode("rx do hub") + "&campo_futuro=1";
    SendAll(fd, Response(200, "OK", form, reply));
  }
  shutdown(fd, SHUT_RDWR);
  close(fd);
}

}  // namespace

int main(int argc, char **argv) {
  const char *portFile = nullptr;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--port-file") == 0) portFile = argv[i + 1];
    if (std::strcmp(argv[i], "--log") == 0) g_logPath = argv[i + 1];
  }
  if (portFile == nullptr || g_logPath == nullptr) {
    std::fprintf(stderr, "usage: fakehub --port-file FILE --log FILE\n");
    return 2;
  }
  std::signal(SIGPIPE, SIG_IGN);
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (bind(listener, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
      listen(listener, 64) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
    std::perror("fakehub");
    return 1;
  }
  std::string tmp = std::string(portFile) + ".tmp";
  if (std::FILE *f = std::fopen(tmp.c_str(), "w")) {
    std::fprintf(f, "%u\n", ntohs(addr.sin_port));
    std::fclose(f);
    std::rename(tmp.c_str(), portFile);
  }
  for (;;) {
    int fd = accept(listener, nullptr, nullptr);
    if (fd < 0) continue;
    std::thread(Serve, fd).detach();
  }
}

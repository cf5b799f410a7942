#include "remote_config.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform.h"
#include "remote_http.h"
#include "text.h"

namespace torvex::sat {

namespace {

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// Parses a decimal number of at most 9 digits in [lo, hi]; nothing else may
// follow it.
bool ParseNumber(const char *text, long lo, long hi, long &out) {
  if (*text == '\0') return false;
  long value = 0;
  int digits = 0;
  for (const char *p = text; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9' || ++digits > 9) return false;
    value = value * 10 + (*p - '0');
  }
  if (value < lo || value > hi) return false;
  out = value;
  return true;
}

void Problem(RemoteSettings &settings, const char *fmt, const char *what) {
  if (settings.problem[0] != '\0') return;  // the first problem is the one reported
  FormatText(settings.problem, sizeof settings.problem, fmt, what);
}

// A bearer token goes into a header line: printable ASCII, no spaces.
bool TokenIsSafe(const char *token) {
  for (const char *p = token; *p != '\0'; ++p)
    if (*p < 0x21 || *p > 0x7e) return false;
  return true;
}

void SetHub(RemoteSettings &settings, const char *value) {
  char why[64];
  settings.enabled = true;
  if (!ParseHubUrl(value, settings.hub, why, sizeof why)) {
    char text[kStatusMessageSize];
    FormatText(text, sizeof text, "Endereco do hub invalido (%s): %.60s", why, value);
    Problem(settings, "%s", text);
  }
}

void SetTill(RemoteSettings &settings, const char *value) {
  long till;
  if (ParseNumber(value, 0, kTillMax, till))
    settings.till = static_cast<int>(till);
  else
    Problem(settings, "Numero do caixa invalido (0 a 999): %.40s", value);
}

void SetToken(RemoteSettings &settings, const char *value) {
  if (std::strlen(value) >= sizeof settings.token || !TokenIsSafe(value)) {
    Problem(settings, "%s", "Token do hub invalido (ate 255 caracteres ASCII, sem espacos)");
    return;
  }
  CopyText(settings.token, sizeof settings.token, value);
}

void SetCaFile(RemoteSettings &settings, const char *value) {
  if (std::strlen(value) >= sizeof settings.caFile) {
    Problem(settings, "%s", "ca_file do hub longo demais (ate 511 caracteres)");
    return;
  }
  CopyText(settings.caFile, sizeof settings.caFile, value);
}

void SetKey(RemoteSettings &settings, const char *key, const char *value) {
  long n;
  if (std::strcmp(key, "address") == 0) {
    if (*value != '\0') SetHub(settings, value);
  } else if (std::strcmp(key, "till") == 0) {
    SetTill(settings, value);
  } else if (std::strcmp(key, "token") == 0) {
    SetToken(settings, value);
  } else if (std::strcmp(key, "ca_file") == 0) {
    SetCaFile(settings, value);
  } else if (std::strcmp(key, "connect_timeout_ms") == 0) {
    if (ParseNumber(value, 1, 600000, n))
      settings.connectTimeoutMs = static_cast<int>(n);
    else
      Problem(settings, "connect_timeout_ms invalido em torvex.ini: %.40s", value);
  } else if (std::strcmp(key, "queue_allowance") == 0) {
    if (ParseNumber(value, 0, 3600, n))
      settings.queueAllowanceSeconds = static_cast<int>(n);
    else
      Problem(settings, "queue_allowance invalido em torvex.ini: %.40s", value);
  } else {
    Problem(settings, "Chave desconhecida em torvex.ini: %.40s", key);
  }
}

}  // namespace

bool ParseHubUrl(const char *url, HubAddress &out, char *why, std::size_t whyCap) {
  out = HubAddress{};
  url = OrEmpty(url);
  std::size_t length = std::strlen(url);
  if (length >= sizeof out.url) {
    CopyText(why, whyCap, "longo demais");
    return false;
  }
  CopyText(out.url, sizeof out.url, url);
  while (length > 0 && out.url[length - 1] == '/') out.url[--length] = '\0';
  const char *p = out.url;
  if (std::strncmp(p, "http://", 7) == 0) {
    p += 7;
    out.port = 80;
  } else if (std::strncmp(p, "https://", 8) == 0) {
    p += 8;
    out.port = 443;
    out.tls = true;
  } else {
    CopyText(why, whyCap, "use http:// ou https://");
    return false;
  }
  const char *hostEnd;
  const char *rest;
  if (*p == '[') {
    hostEnd = std::strchr(p, ']');
    if (hostEnd == nullptr) {
      CopyText(why, whyCap, "falta ]");
      return false;
    }
    ++p;
    rest = hostEnd + 1;
  } else {
    hostEnd = p + std::strcspn(p, ":/?#@");
    rest = hostEnd;
  }
  std::size_t hostLen = static_cast<std::size_t>(hostEnd - p);
  if (hostLen == 0 || hostLen >= sizeof out.host) {
    CopyText(why, whyCap, "sem servidor");
    return false;
  }
  for (const char *c = p; c < hostEnd; ++c) {
    bool ok = (*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z') || (*c >= '0' && *c <= '9') ||
              *c == '.' || *c == '-' || *c == ':' || *c == '_';
    if (!ok) {
      CopyText(why, whyCap, "servidor com caracteres invalidos");
      return false;
    }
  }
  std::memcpy(out.host, p, hostLen);
  out.host[hostLen] = '\0';
  if (*rest == ':') {
    long port;
    if (!ParseNumber(rest + 1, 1, 65535, port)) {
      CopyText(why, whyCap, "porta invalida");
      return false;
    }
    out.port = static_cast<unsigned>(port);
  } else if (*rest != '\0') {
    CopyText(why, whyCap, "so servidor e porta");
    return false;
  }
  return true;
}

void ParseRemoteIni(const char *text, std::size_t count, RemoteSettings &settings) {
  bool inHub = false;
  std::size_t at = 0;
  int lineNo = 0;
  while (at < count) {
    ++lineNo;
    std::size_t end = at;
    while (end < count && text[end] != '\n') ++end;
    char line[kIniMaxLine];
    std::size_t length = end - at;
    if (length >= sizeof line || std::memchr(text + at, '\0', length) != nullptr) {
      char where[16];
      FormatText(where, sizeof where, "%d", lineNo);
      Problem(settings, "Linha %s de torvex.ini longa demais ou ilegivel", where);
      return;
    }
    std::memcpy(line, text + at, length);
    line[length] = '\0';
    at = end + 1;

    char *p = line;
    if (lineNo == 1 && std::strncmp(p, "\xef\xbb\xbf", 3) == 0) p += 3;  // a UTF-8 mark
    while (IsSpace(*p)) ++p;
    std::size_t n = std::strlen(p);
    while (n > 0 && IsSpace(p[n - 1])) p[--n] = '\0';
    if (*p == '\0' || *p == ';' || *p == '#') continue;
    if (*p == '[') {
      inHub = std::strcmp(p, "[hub]") == 0;
      continue;
    }
    if (!inHub) continue;  // other sections belong to others
    char *eq = std::strchr(p, '=');
    if (eq == nullptr) {
      char where[16];
      FormatText(where, sizeof where, "%d", lineNo);
      Problem(settings, "Linha %s de torvex.ini sem '='", where);
      return;
    }
    char *keyEnd = eq;
    while (keyEnd > p && IsSpace(keyEnd[-1])) --keyEnd;
    *keyEnd = '\0';
    char *value = eq + 1;
    while (IsSpace(*value)) ++value;
    SetKey(settings, p, value);
  }
}

void ApplyRemoteEnvironment(RemoteSettings &settings, const char *(*getenv)(const char *)) {
  if (const char *hub = getenv("TORVEX_HUB")) {
    if (*hub == '\0') {
      settings.enabled = false;
      settings.problem[0] = '\0';
      return;
    }
    // The environment's address replaces the file's, and with it any fault
    // found in the file's.
    settings.problem[0] = '\0';
    SetHub(settings, hub);
  }
  if (const char *till = getenv("TORVEX_TILL")) SetTill(settings, till);
  if (const char *token = getenv("TORVEX_HUB_TOKEN")) SetToken(settings, token);
  if (const char *ca = getenv("TORVEX_HUB_CA")) SetCaFile(settings, ca);
}

void FinishRemoteSettings(RemoteSettings &settings) {
  if (!settings.enabled) {
    settings.problem[0] = '\0';
    return;
  }
  if (settings.till < 0)
    Problem(settings, "%s", "Modo remoto sem numero do caixa (till em torvex.ini ou TORVEX_TILL)");
  if (settings.hub.tls && !HttpsAvailable())
    Problem(settings, "https nao disponivel nesta plataforma: %.60s", settings.hub.url);
  if (settings.caFile[0] != '\0' && !HttpsCaFileAvailable())
    Problem(
        settings, "%s",
        "ca_file nao suportado nesta plataforma: instale o certificado no repositorio do sistema");
}

namespace {
const char *ProcessGetenv(const char *name) { return std::getenv(name); }
}  // namespace

void LoadRemoteSettingsFrom(const char *iniPath, RemoteSettings &settings) {
  settings = RemoteSettings{};
  if (iniPath != nullptr) {
    if (std::FILE *f = std::fopen(iniPath, "rb")) {
      static char text[kIniMaxSize + 1];  // read under the library's lock
      std::size_t count = std::fread(text, 1, sizeof text, f);
      std::fclose(f);
      if (count > kIniMaxSize)
        Problem(settings, "%s", "torvex.ini grande demais (mais de 16 KiB)");
      else
        ParseRemoteIni(text, count, settings);
    }
  }
  ApplyRemoteEnvironment(settings, &ProcessGetenv);
  FinishRemoteSettings(settings);
}

void LoadRemoteSettings(RemoteSettings &settings) {
  char path[kLogPathSize * 2];
  bool found = FileBesideLibrary("torvex.ini", path, sizeof path);
  LoadRemoteSettingsFrom(found ? path : nullptr, settings);
}

}  // namespace torvex::sat

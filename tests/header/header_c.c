/*
 * A C99 caller of the library, compiled against torvex.h alone.
 *
 * It takes the address of every export through a pointer of the exact type
 * a caller expects (so a wrong prototype or calling convention fails to
 * compile: this file is built with -Werror), checks the state right after
 * load, and calls every export once. No device is reachable from the test
 * (no COM port exists), so each command must come back at once with the
 * port-not-ready text and code 1.
 *
 * Usage: header_c LOGFILE
 */
#include <torvex.h>

#include <stdio.h>
#include <string.h>

#if defined(_WIN32)
#include <windows.h>
#endif

static int failures = 0;

#define CHECK(cond)                                                            \
  do {                                                                         \
    if (!(cond)) {                                                             \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      ++failures;                                                              \
    }                                                                          \
  } while (0)

/* The exports, as a caller that declares its own pointers sees them. An
 * export whose prototype or calling convention differs from these does not
 * compile here. */
static const char *(TORVEX_CALL *consultarSAT)(int);
static const char *(TORVEX_CALL *ativarSAT)(int, int, const char *, const char *, int);
static const char *(TORVEX_CALL *comunicarCertificado)(int, const char *, const char *);
static const char *(TORVEX_CALL *enviarDadosVenda)(int, const char *, const char *);
static const char *(TORVEX_CALL *cancelarUltimaVenda)(int, const char *, const char *,
                                                      const char *);
static const char *(TORVEX_CALL *testeFimAFim)(int, const char *, const char *);
static const char *(TORVEX_CALL *consultarStatusOperacional)(int, const char *);
static const char *(TORVEX_CALL *consultarNumeroSessao)(int, const char *, int);
static const char *(TORVEX_CALL *configurarInterfaceDeRede)(int, const char *, const char *);
static const char *(TORVEX_CALL *associarAssinatura)(int, const char *, const char *, const char *);
static const char *(TORVEX_CALL *atualizarSoftwareSAT)(int, const char *);
static const char *(TORVEX_CALL *extrairLogs)(int, const char *);
static const char *(TORVEX_CALL *bloquearSAT)(int, const char *);
static const char *(TORVEX_CALL *desbloquearSAT)(int, const char *);
static const char *(TORVEX_CALL *trocarCodigo)(int, const char *, int, const char *, const char *);
static const char *(TORVEX_CALL *arocarCodigo)(int, const char *, int, const char *, const char *);
static const char *(TORVEX_CALL *aesteFimAFim)(int, const char *, const char *);
static const char *(TORVEX_CALL *consultarUltimaSessaoFiscal)(int, const char *);
static void(TORVEX_CALL *configuraTimeout)(int);
static void(TORVEX_CALL *arquivoLog)(const char *);
static int(TORVEX_CALL *geraNumeroSessao)(void);
static const char *(TORVEX_CALL *lastTx)(void);
static const char *(TORVEX_CALL *lastRx)(void);
static int(TORVEX_CALL *abreSerialSAT)(int, int, int, int, int);
static void(TORVEX_CALL *closeSerial)(void);
static char *(TORVEX_CALL *codigoErro)(char *);

static void bindExports(void) {
  consultarSAT = ConsultarSAT;
  ativarSAT = AtivarSAT;
  comunicarCertificado = ComunicarCertificadoICPBRASIL;
  enviarDadosVenda = EnviarDadosVenda;
  cancelarUltimaVenda = CancelarUltimaVenda;
  testeFimAFim = TesteFimAFim;
  consultarStatusOperacional = ConsultarStatusOperacional;
  consultarNumeroSessao = ConsultarNumeroSessao;
  configurarInterfaceDeRede = ConfigurarInterfaceDeRede;
  associarAssinatura = AssociarAssinatura;
  atualizarSoftwareSAT = AtualizarSoftwareSAT;
  extrairLogs = ExtrairLogs;
  bloquearSAT = BloquearSAT;
  desbloquearSAT = DesbloquearSAT;
  trocarCodigo = TrocarCodigoDeAtivacao;
  arocarCodigo = ArocarCodigoDeAtivacaoSAT;
  aesteFimAFim = AesteFimAFim;
  consultarUltimaSessaoFiscal = ConsultarUltimaSessaoFiscal;
  configuraTimeout = ConfiguraTimeout;
  arquivoLog = ArquivoLog;
  geraNumeroSessao = GeraNumeroSessao;
  lastTx = LastTx;
  lastRx = LastRx;
  abreSerialSAT = AbreSerialSAT;
  closeSerial = CloseSerial;
  codigoErro = CodigoErro;
}

/* The status record as CodigoErro copies it out. */
static long statusCode(char *message, size_t size) {
  unsigned char record[TORVEX_STATUS_SIZE + 16];
  unsigned long raw;
  memset(record, 0xAA, sizeof record);
  CHECK(codigoErro((char *)record) == (char *)record);
  /* exactly TORVEX_STATUS_SIZE bytes are written, no more */
  CHECK(record[TORVEX_STATUS_SIZE] == 0xAA);
  raw = (unsigned long)record[0] | ((unsigned long)record[1] << 8) |
        ((unsigned long)record[2] << 16) | ((unsigned long)record[3] << 24);
  if (message != NULL && size > 0) {
    size_t n = 0;
    while (n + 1 < size && n < TORVEX_STATUS_SIZE - 4 && record[4 + n] != 0) {
      message[n] = (char)record[4 + n];
      ++n;
    }
    message[n] = '\0';
  }
  return raw >= 0x80000000ul ? -(long)(0xFFFFFFFFul - raw) - 1 : (long)raw;
}

/* The not-ready text, stored in ISO-8859-1. */
#ifdef _WIN32
static const char kNotReady[] = "Porta serial n\xe3o est\xe1 pronta, tente novamente";
static const char kNotReadyBang[] = "Porta serial n\xe3o est\xe1 pronta, tente novamente!";
#else
static const char kNotReady[] = "Porta serial n\xc3\xa3o est\xc3\xa1 pronta, tente novamente";
static const char kNotReadyBang[] = "Porta serial n\xc3\xa3o est\xc3\xa1 pronta, tente novamente!";
#endif

static void expectNotReady(const char *name, const char *reply, const char *expected) {
  char message[TORVEX_STATUS_SIZE];
  long code = statusCode(message, sizeof message);
  if (reply == NULL || strcmp(reply, expected) != 0 || code != 1 ||
      strncmp(message, "Erro ao abrir ", 14) != 0) {
    fprintf(stderr, "%s: reply \"%s\", code %ld, message \"%s\"\n", name,
            reply != NULL ? reply : "(null)", code, message);
    ++failures;
  }
}

int main(int argc, char **argv) {
  char message[TORVEX_STATUS_SIZE];
  int first;
  int second;
  FILE *log;

  bindExports();
  if (argc < 2) {
    fprintf(stderr, "usage: header_c LOGFILE\n");
    return 2;
  }

  /* Right after load: code 0, empty message, no frame sent or received. */
  CHECK(statusCode(message, sizeof message) == 0);
  CHECK(message[0] == '\0');
  CHECK(lastTx() != NULL && lastTx()[0] == '\0');
  CHECK(lastRx() != NULL && lastRx()[0] == '\0');
  CHECK(codigoErro(NULL) == NULL);

#if defined(_WIN32)
  /* Every export is reachable under its plain name. */
  {
    static const char *const names[] = {"ConsultarSAT",
                                        "AtivarSAT",
                                        "ComunicarCertificadoICPBRASIL",
                                        "EnviarDadosVenda",
                                        "CancelarUltimaVenda",
                                        "TesteFimAFim",
                                        "ConsultarStatusOperacional",
                                        "ConsultarNumeroSessao",
                                        "ConfigurarInterfaceDeRede",
                                        "AssociarAssinatura",
                                        "AtualizarSoftwareSAT",
                                        "ExtrairLogs",
                                        "BloquearSAT",
                                        "DesbloquearSAT",
                                        "TrocarCodigoDeAtivacao",
                                        "ArocarCodigoDeAtivacaoSAT",
                                        "AesteFimAFim",
                                        "ConsultarUltimaSessaoFiscal",
                                        "ConfiguraTimeout",
                                        "ArquivoLog",
                                        "GeraNumeroSessao",
                                        "LastTx",
                                        "LastRx",
                                        "AbreSerialSAT",
                                        "CloseSerial",
                                        "CodigoErro"};
    HMODULE module = GetModuleHandleA("torvex.dll");
    size_t i;
    CHECK(module != NULL);
    for (i = 0; module != NULL && i < sizeof names / sizeof names[0]; ++i) {
      if (GetProcAddress(module, names[i]) == NULL) {
        fprintf(stderr, "torvex.dll does not export %s\n", names[i]);
        ++failures;
      }
    }
    CHECK(GetProcAddress(module, "ConsultarSAT") == (FARPROC)(void (*)(void))consultarSAT);
  }
#endif

  first = geraNumeroSessao();
  second = geraNumeroSessao();
  CHECK(first >= 0 && first <= 33766);
  CHECK(second >= 0 && second <= 33766);
  CHECK(first != second);

  arquivoLog(argv[1]);
  configuraTimeout(30);
  closeSerial();
  CHECK(statusCode(NULL, 0) == 0);

  /* No COM port exists here: the port test fails with the port's name. */
  CHECK(abreSerialSAT(3, 9600, 7, 2, 1) == 1);
  CHECK(statusCode(message, sizeof message) == 1);
  CHECK(strcmp(message, "Erro ao abrir COM3") == 0);

  expectNotReady("ConsultarSAT", consultarSAT(first), kNotReady);
  expectNotReady("AtivarSAT", ativarSAT(first, 1, "12345678", "16716114000172", 35), kNotReady);
  expectNotReady("ComunicarCertificadoICPBRASIL", comunicarCertificado(first, "12345678", "MIIB"),
                 kNotReady);
  expectNotReady("EnviarDadosVenda", enviarDadosVenda(first, "12345678", "<CFe/>"), kNotReady);
  expectNotReady("CancelarUltimaVenda",
                 cancelarUltimaVenda(first, "12345678", "CFe1", "<CFeCanc/>"), kNotReady);
  expectNotReady("TesteFimAFim", testeFimAFim(first, "12345678", "<CFe/>"), kNotReady);
  expectNotReady("ConsultarStatusOperacional", consultarStatusOperacional(first, "12345678"),
                 kNotReady);
  expectNotReady("ConsultarNumeroSessao", consultarNumeroSessao(first, "12345678", second),
                 kNotReady);
  expectNotReady("ConfigurarInterfaceDeRede",
                 configurarInterfaceDeRede(first, "12345678", "<config/>"), kNotReady);
  expectNotReady("AssociarAssinatura", associarAssinatura(first, "12345678", "1", "2"),
                 kNotReadyBang);
  expectNotReady("AtualizarSoftwareSAT", atualizarSoftwareSAT(first, "12345678"), kNotReady);
  expectNotReady("ExtrairLogs", extrairLogs(first, "12345678"), kNotReady);
  expectNotReady("BloquearSAT", bloquearSAT(first, "12345678"), kNotReady);
  expectNotReady("DesbloquearSAT", desbloquearSAT(first, "12345678"), kNotReady);
  expectNotReady("TrocarCodigoDeAtivacao",
                 trocarCodigo(first, "12345678", 1, "87654321", "87654321"), kNotReady);
  expectNotReady("ArocarCodigoDeAtivacaoSAT",
                 arocarCodigo(first, "12345678", 1, "87654321", "87654321"), kNotReady);
  expectNotReady("AesteFimAFim", aesteFimAFim(first, "12345678", "<CFe/>"), kNotReady);
  expectNotReady("ConsultarUltimaSessaoFiscal", consultarUltimaSessaoFiscal(first, "12345678"),
                 kNotReady);

  /* NULL texts are taken as empty texts. */
  expectNotReady("EnviarDadosVenda(NULL)", enviarDadosVenda(first, NULL, NULL), kNotReady);

  /* Nothing was sent, so nothing was received. */
  CHECK(lastTx()[0] == '\0');
  CHECK(lastRx()[0] == '\0');

  /* ArquivoLog created the file and the port test wrote its line there. */
  log = fopen(argv[1], "r");
  CHECK(log != NULL);
  if (log != NULL) {
    char line[512];
    int found = 0;
    while (fgets(line, sizeof line, log) != NULL)
      if (strncmp(line, "S@T:COM3 ", 9) == 0 &&
          strstr(line, " AbreSerialSAT Baud:9600 Bits:7 Paridade:2 StopBits:1") != NULL)
        found = 1;
    fclose(log);
    CHECK(found);
  }

  if (failures != 0) {
    fprintf(stderr, "%d check(s) failed\n", failures);
    return 1;
  }
  printf("header_c: every export called\n");
  return 0;
}

/*
 * torvex.h - the SAT-CF-e function interface of torvex.dll / libtorvex.so.
 *
 * Load the library (or link its import library) and call the functions below.
 * Every function that returns text returns a pointer to a text that the
 * library owns: never free it. It is the calling thread's own copy and stays
 * valid until the same thread calls into the library again.
 *
 * Any thread may call. Calls from several threads are served one at a time:
 * a call that finds the line busy waits for the other call to finish (it is
 * not refused). No exception leaves the library: a failure inside it ends
 * the call with code 1 and a text saying so.
 *
 * Integers are 32-bit signed. Texts are NUL-terminated byte strings; a NULL
 * text argument is taken as an empty text. Outcomes are reported through the
 * returned text and the status record that CodigoErro copies out:
 *
 *   code 0      a reply came from the device (its text is returned)
 *   code 1      the port is not ready, or the compression library is missing
 *   code 3      the device's reply had a bad checksum
 *   code 4      the device sent a frame the library does not know
 *   code 32768  no reply within the command's wait limit, or the device
 *               went away during the command (the wait then ends at once)
 *
 * In libtorvex.so every text the library makes is UTF-8. torvex.dll returns
 * the not-ready text ("Porta serial nao esta pronta...", accented) in ISO-8859-1 and
 * the communication errors in UTF-8. Device replies pass unchanged.
 *
 * On Windows every function uses the stdcall convention and is exported under
 * its plain name (ConsultarSAT, not ConsultarSAT@4). On Linux the names are
 * the same, with C linkage and the platform's default convention.
 */
#ifndef TORVEX_H
#define TORVEX_H

#if defined(_WIN32)
#define TORVEX_CALL __stdcall
#if defined(TORVEX_BUILDING)
#define TORVEX_API __declspec(dllexport)
#else
#define TORVEX_API __declspec(dllimport)
#endif
#else
#define TORVEX_CALL
#if defined(TORVEX_BUILDING)
#define TORVEX_API __attribute__((visibility("default")))
#else
#define TORVEX_API
#endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Size of the buffer that CodigoErro fills: a 4-byte little-endian signed
 * status code followed by a 100-byte NUL-terminated message. */
#define TORVEX_STATUS_SIZE 104

/* The status codes that CodigoErro reports (see the list above). */
#define TORVEX_STATUS_OK 0            /* a reply came from the device */
#define TORVEX_STATUS_NOT_READY 1     /* port not ready, zlib missing, refused */
#define TORVEX_STATUS_CHECKSUM 3      /* the reply had a bad checksum */
#define TORVEX_STATUS_UNKNOWN_FRAME 4 /* a frame the library does not know */
#define TORVEX_STATUS_TIMEOUT 32768   /* no reply in time, or the line was lost */

/* ---- SAT commands ------------------------------------------------------
 * Each returns the device's whole reply text ("sessao|EEEEE|mensagem|...")
 * when a reply came; otherwise the failure text (port not ready, time-out,
 * checksum, unknown frame). The wait limit of each command is fixed. */

/* Device status. Waits at most 2 s. */
TORVEX_API const char *TORVEX_CALL ConsultarSAT(int numeroSessao);
/* Activation; cUF is sent with two digits. Waits at most 300 s. */
TORVEX_API const char *TORVEX_CALL AtivarSAT(int numeroSessao, int subComando,
                                             const char *codigoDeAtivacao, const char *CNPJ,
                                             int cUF);
/* Sends the ICP-Brasil certificate. Waits at most 300 s. */
TORVEX_API const char *TORVEX_CALL ComunicarCertificadoICPBRASIL(int numeroSessao,
                                                                 const char *codigoDeAtivacao,
                                                                 const char *certificado);
/* Sends a sale (compressed on the way). The reply's compressed tail is
 * expanded before it is returned. Waits at most 8 s. */
TORVEX_API const char *TORVEX_CALL EnviarDadosVenda(int numeroSessao, const char *codigoDeAtivacao,
                                                    const char *dadosVenda);
/* Cancels the last sale. Waits at most 4 s. */
TORVEX_API const char *TORVEX_CALL CancelarUltimaVenda(int numeroSessao,
                                                       const char *codigoDeAtivacao,
                                                       const char *chave,
                                                       const char *dadosCancelamento);
/* End-to-end test sale. Waits at most 20 s. */
TORVEX_API const char *TORVEX_CALL TesteFimAFim(int numeroSessao, const char *codigoDeAtivacao,
                                                const char *dadosVenda);
/* Operating status (the standard's 23 status fields). Waits at most 3 s. */
TORVEX_API const char *TORVEX_CALL ConsultarStatusOperacional(int numeroSessao,
                                                              const char *codigoDeAtivacao);
/* The reply of an earlier session. Waits at most 20 s. */
TORVEX_API const char *TORVEX_CALL ConsultarNumeroSessao(int numeroSessao,
                                                         const char *codigoDeAtivacao,
                                                         int cNumeroDeSessao);
/* Network configuration (XML). Waits at most 20 s. */
TORVEX_API const char *TORVEX_CALL ConfigurarInterfaceDeRede(int numeroSessao,
                                                             const char *codigoDeAtivacao,
                                                             const char *dadosConfiguracao);
/* Links the POS software's signature. Waits at most 10 s. */
TORVEX_API const char *TORVEX_CALL AssociarAssinatura(int numeroSessao,
                                                      const char *codigoDeAtivacao,
                                                      const char *CNPJvalue,
                                                      const char *assinaturaCNPJs);
/* Firmware update. Waits at most 1800 s. */
TORVEX_API const char *TORVEX_CALL AtualizarSoftwareSAT(int numeroSessao,
                                                        const char *codigoDeAtivacao);
/* The device's log, base64-encoded. Waits at most 20 s. */
TORVEX_API const char *TORVEX_CALL ExtrairLogs(int numeroSessao, const char *codigoDeAtivacao);
/* Blocks the device. Waits at most 300 s. */
TORVEX_API const char *TORVEX_CALL BloquearSAT(int numeroSessao, const char *codigoDeAtivacao);
/* Unblocks the device. Waits at most 20 s. */
TORVEX_API const char *TORVEX_CALL DesbloquearSAT(int numeroSessao, const char *codigoDeAtivacao);
/* Changes the activation code (sends TrocarCodigoDeAtivacaoSAT). At most 10 s. */
TORVEX_API const char *TORVEX_CALL TrocarCodigoDeAtivacao(int numeroSessao,
                                                          const char *codigoDeAtivacao, int opcao,
                                                          const char *novoCodigo,
                                                          const char *confNovoCodigo);
/* Same command text as TrocarCodigoDeAtivacao, kept for programs linked
 * against this name; logs under its own name and waits at most 20 s. */
TORVEX_API const char *TORVEX_CALL ArocarCodigoDeAtivacaoSAT(int numeroSessao,
                                                             const char *codigoDeAtivacao,
                                                             int opcao, const char *novoCodigo,
                                                             const char *confNovoCodigo);
/* Same command text as TesteFimAFim, kept for programs linked against this
 * name; logs under its own name. Waits at most 20 s. */
TORVEX_API const char *TORVEX_CALL AesteFimAFim(int numeroSessao, const char *codigoDeAtivacao,
                                                const char *dadosVenda);
/* Extension (later revision of the SAT standard): the reply of the last sale
 * or cancellation, for a program that lost it. Waits at most 20 s. */
TORVEX_API const char *TORVEX_CALL ConsultarUltimaSessaoFiscal(int numeroSessao,
                                                               const char *codigoDeAtivacao);

/* ---- Library control ---------------------------------------------------- */

/* Accepted for compatibility and written to the trace log; the wait limits
 * stay fixed per command. */
TORVEX_API void TORVEX_CALL ConfiguraTimeout(int timeout);
/* Switches the trace log on, to the file at path (created if missing). A
 * path of 300 bytes or more is refused and changes nothing. */
TORVEX_API void TORVEX_CALL ArquivoLog(const char *path);
/* A new session number, different from the last 100 handed out. */
TORVEX_API int TORVEX_CALL GeraNumeroSessao(void);
/* "dd/mm/yyyy hh:mm:ss.mmm=" followed by the last command text sent. */
TORVEX_API const char *TORVEX_CALL LastTx(void);
/* "dd/mm/yyyy hh:mm:ss.mmm=" followed by the last reply, or failure text. */
TORVEX_API const char *TORVEX_CALL LastRx(void);
/* Tests COM<porta>: opens and closes it. The other arguments are only
 * logged; the port always runs at 115200 8N1. Returns 0 or 1 (the new
 * status code). */
TORVEX_API int TORVEX_CALL AbreSerialSAT(int porta, int baudRate, int dataBits, int paridade,
                                         int stopBits);
/* Accepted for compatibility: the port is closed after every command. */
TORVEX_API void TORVEX_CALL CloseSerial(void);
/* Copies the status record (TORVEX_STATUS_SIZE bytes) into buffer and
 * returns buffer. A NULL buffer is returned as is and nothing is copied. */
TORVEX_API char *TORVEX_CALL CodigoErro(char *buffer);

#ifdef __cplusplus
}
#endif

#endif /* TORVEX_H */

/*
 * The line state of the virtual serial cables that pty-com lays between
 * pseudo-terminals, shared through a small file that pty-com creates and the
 * modem-line library (modem-lines.c) maps into every process under it.
 *
 * A pseudo-terminal has no modem lines. Each end of a cable is the slave
 * side of one pseudo-terminal pair, known by its device number; the file
 * holds what that end drives (DTR, RTS, break) and which end it is wired to.
 * What an end reads is its peer's output, wired as a null-modem cable:
 *   the peer's RTS is this end's CTS, the peer's DTR its DSR and DCD.
 * A loopback plug is an end whose peer is itself.
 */
#ifndef TORVEX_MODEM_LINES_H
#define TORVEX_MODEM_LINES_H

#include <stdint.h>

#define MODEM_LINES_MAGIC 0x314c4d54u /* "TML1" */
#define MODEM_LINES_ENDS 16
/* The environment variable that names the file. */
#define MODEM_LINES_ENV "TORVEX_MODEM_LINES"

/* Bits of modem_end.lines: the TIOCM_ values of the lines an end drives. */
#define MODEM_LINE_DTR 0x002u /* TIOCM_DTR */
#define MODEM_LINE_RTS 0x004u /* TIOCM_RTS */
#define MODEM_LINE_BREAK 0x10000u

struct modem_end {
  uint64_t rdev;  /* device number of the slave side; 0 for an unused end */
  uint32_t lines; /* MODEM_LINE_ bits driven by this end */
  int32_t peer;   /* index of the end it is wired to */
};

struct modem_lines {
  uint32_t magic;
  uint32_t count;
  struct modem_end ends[MODEM_LINES_ENDS];
};

#endif

/*
 * modem-lines: gives pseudo-terminals the modem lines of a serial cable.
 *
 * Loaded with LD_PRELOAD into Wine (pty-com does it), it answers the
 * modem-line requests that Wine's serial driver makes on the slave side of a
 * pseudo-terminal listed in the file named by TORVEX_MODEM_LINES (see
 * modem-lines.h): TIOCMGET, TIOCMSET, TIOCMBIS, TIOCMBIC, TIOCSBRK and
 * TIOCCBRK. Without it those requests fail on a pseudo-terminal, and Wine
 * then fails EscapeCommFunction, GetCommModemStatus and every WaitCommEvent.
 * Every other request, and every other descriptor, goes to the system.
 *
 * A pseudo-terminal whose other side has been closed (hung up) fails
 * TIOCMGET with EIO, as a serial device that has gone away does.
 *
 * 64-bit Wine calls ioctl; 32-bit Wine, built with 64-bit time, calls
 * __ioctl_time64, which only the 32-bit build of this file defines.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdarg.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "modem-lines.h"

typedef int (*ioctl_fn)(int, unsigned long, ...);

static struct modem_lines *shared_state(void) {
  /* Mapped once; a process without the variable (or with a bad file) gets
   * NULL for good and every request goes to the system. */
  static struct modem_lines *state;
  static int tried;
  if (__atomic_load_n(&tried, __ATOMIC_ACQUIRE)) return state;
  struct modem_lines *mapped = NULL;
  const char *path = getenv(MODEM_LINES_ENV);
  if (path && *path) {
    int fd = open(path, O_RDWR | O_CLOEXEC);
    if (fd >= 0) {
      void *p = mmap(NULL, sizeof *mapped, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
      close(fd);
      if (p != MAP_FAILED && ((struct modem_lines *)p)->magic == MODEM_LINES_MAGIC) mapped = p;
    }
  }
  state = mapped;
  __atomic_store_n(&tried, 1, __ATOMIC_RELEASE);
  return state;
}

/* The cable end of a descriptor, or NULL for anything that is not one. */
static struct modem_end *end_of(struct modem_lines *state, int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return NULL;
  uint64_t rdev = (uint64_t)st.st_rdev;
  for (unsigned i = 0; i < MODEM_LINES_ENDS; ++i)
    if (__atomic_load_n(&state->ends[i].rdev, __ATOMIC_ACQUIRE) == rdev) return &state->ends[i];
  return NULL;
}

static int hung_up(int fd) {
  struct pollfd p = {fd, 0, 0};
  return poll(&p, 1, 0) > 0 && (p.revents & POLLHUP);
}

/* Answers the request when it is a modem-line request on a cable end:
 * returns 1 with *result set, 0 to let the system handle it. */
static int emulate(int fd, unsigned long request, void *arg, int *result) {
  switch (request) {
    case TIOCMGET:
    case TIOCMSET:
    case TIOCMBIS:
    case TIOCMBIC:
    case TIOCSBRK:
    case TIOCCBRK:
      break;
    default:
      return 0;
  }
  struct modem_lines *state = shared_state();
  if (!state) return 0;
  struct modem_end *end = end_of(state, fd);
  if (!end) return 0;

  const uint32_t driven = MODEM_LINE_DTR | MODEM_LINE_RTS;
  *result = 0;
  if (request == TIOCMGET) {
    if (hung_up(fd)) {
      errno = EIO;
      *result = -1;
      return 1;
    }
    int peer = end->peer;
    uint32_t own = __atomic_load_n(&end->lines, __ATOMIC_ACQUIRE);
    uint32_t theirs = 0;
    if (peer >= 0 && peer < MODEM_LINES_ENDS)
      theirs = __atomic_load_n(&state->ends[peer].lines, __ATOMIC_ACQUIRE);
    int bits = (int)(own & driven);
    if (theirs & MODEM_LINE_RTS) bits |= TIOCM_CTS;
    if (theirs & MODEM_LINE_DTR) bits |= TIOCM_DSR | TIOCM_CD;
    *(int *)arg = bits;
    return 1;
  }
  if (request == TIOCSBRK) {
    __atomic_fetch_or(&end->lines, MODEM_LINE_BREAK, __ATOMIC_ACQ_REL);
    return 1;
  }
  if (request == TIOCCBRK) {
    __atomic_fetch_and(&end->lines, ~MODEM_LINE_BREAK, __ATOMIC_ACQ_REL);
    return 1;
  }
  if (!arg) {
    errno = EFAULT;
    *result = -1;
    return 1;
  }
  uint32_t bits = (uint32_t) * (const int *)arg & driven;
  if (request == TIOCMBIS) {
    __atomic_fetch_or(&end->lines, bits, __ATOMIC_ACQ_REL);
  } else if (request == TIOCMBIC) {
    __atomic_fetch_and(&end->lines, ~bits, __ATOMIC_ACQ_REL);
  } else { /* TIOCMSET */
    uint32_t old = __atomic_load_n(&end->lines, __ATOMIC_ACQUIRE), want;
    do {
      want = (old & ~driven) | bits;
    } while (!__atomic_compare_exchange_n(&end->lines, &old, want, 0, __ATOMIC_ACQ_REL,
                                          __ATOMIC_ACQUIRE));
  }
  return 1;
}

/* Answers a request from the shared lines, or hands it to the C library's
   own function of that name (its plain ioctl where there is none). */
static int answer(ioctl_fn *real, const char *name, int fd, unsigned long request, void *arg) {
  int result;
  if (emulate(fd, request, arg, &result)) return result;
  if (!*real) *real = (ioctl_fn)dlsym(RTLD_NEXT, name);
  if (!*real) *real = (ioctl_fn)dlsym(RTLD_NEXT, "ioctl");
  return (*real)(fd, request, arg);
}

int ioctl(int fd, unsigned long request, ...) {
  static ioctl_fn real;
  va_list ap;
  va_start(ap, request);
  void *arg = va_arg(ap, void *);
  va_end(ap);
  return answer(&real, "ioctl", fd, request, arg);
}

#if defined(__i386__)
/* 32-bit Wine calls the 64-bit-time variant. */
int __ioctl_time64(int fd, unsigned long request, ...) {
  static ioctl_fn real;
  va_list ap;
  va_start(ap, request);
  void *arg = va_arg(ap, void *);
  va_end(ap);
  return answer(&real, "__ioctl_time64", fd, request, arg);
}
#endif

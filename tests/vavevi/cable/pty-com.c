/*
 * pty-com: runs a command while pseudo-terminals stand for Wine COM ports,
 * wired like serial cables.
 *
 *   pty-com [--preload <library>] <wineprefix> <ports> <command> [args...]
 *
 * <ports> is a comma-separated list of
 *   N     COM<N> with a loopback plug: what it sends comes back, and the
 *         lines it drives come back too (DTR as DSR and DCD, RTS as CTS);
 *   N:M   COM<N> and COM<M> joined by a null-modem cable: bytes cross over,
 *         DTR of one end is DSR and DCD of the other, RTS is CTS.
 *
 * Each port is the slave side of a pseudo-terminal pair in raw mode, linked
 * as <wineprefix>/dosdevices/com<N>; pty-com holds the master sides and
 * carries the bytes. The line state lives in a file shared with the
 * modem-line library (modem-lines.c), which --preload puts into LD_PRELOAD
 * of the command (a "$LIB" in the path picks the build that fits each
 * process). The command runs with
 *   TORVEX_KEEP_COM_LINKS=1     the Wine runner keeps the links;
 *   TORVEX_MODEM_LINES=<file>   the line state;
 *   TORVEX_CABLE_CONTROL=<Z:\...\control>  a FIFO for requests:
 *       "hangup N\n"  pulls COM<N>'s cable: its pseudo-terminal is hung up
 *                     (the open port fails from then on) and a new one is
 *                     linked in its place for the next open.
 *
 * Bytes are never dropped: when a receiving end does not read, the sending
 * side is held back. The links and files are removed at the end; the exit
 * status is the command's.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "modem-lines.h"

#define MAX_PORTS MODEM_LINES_ENDS
#define PENDING_LIMIT 65536

struct port {
  int number;
  int master;
  int slave; /* kept open so that the port can be closed and reopened */
  char slave_name[64];
  char link[4096];
  int peer; /* index of the port that receives what this one sends */
  /* Bytes waiting to be written to this port's master. */
  unsigned char pending[PENDING_LIMIT];
  size_t pending_len;
};

static struct port ports[MAX_PORTS];
static int port_count;
static struct modem_lines *lines;
static int child_pipe[2] = {-1, -1};

static void on_child(int sig) {
  (void)sig;
  int saved = errno;
  if (write(child_pipe[1], "c", 1) < 0) { /* the loop looks at the child anyway */
  }
  errno = saved;
}

static int open_pair(struct port *p) {
  int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
    perror("pty-com: posix_openpt");
    return -1;
  }
  const char *name = ptsname(master);
  int slave = name ? open(name, O_RDWR | O_NOCTTY) : -1;
  struct termios tio;
  if (slave < 0 || tcgetattr(slave, &tio) != 0) {
    perror("pty-com: slave");
    close(master);
    return -1;
  }
  cfmakeraw(&tio);
  tcsetattr(slave, TCSANOW, &tio);
  struct stat st;
  fstat(slave, &st);
  p->master = master;
  p->slave = slave;
  snprintf(p->slave_name, sizeof p->slave_name, "%s", name);
  p->pending_len = 0;
  int index = (int)(p - ports);
  __atomic_store_n(&lines->ends[index].lines, 0, __ATOMIC_RELEASE);
  __atomic_store_n(&lines->ends[index].rdev, (uint64_t)st.st_rdev, __ATOMIC_RELEASE);
  return 0;
}

/* Points the port's link at its slave, replacing the old link at once. */
static void relink(struct port *p) {
  char tmp[4200];
  snprintf(tmp, sizeof tmp, "%s.new", p->link);
  unlink(tmp);
  if (symlink(p->slave_name, tmp) != 0 || rename(tmp, p->link) != 0) perror("pty-com: link");
}

/* Pulls the cable of one port: a new pair is linked in first, then the old
 * one is hung up by closing its master. */
static void hang_up(int number) {
  for (int i = 0; i < port_count; ++i) {
    struct port *p = &ports[i];
    if (p->number != number) continue;
    int old_master = p->master, old_slave = p->slave;
    if (open_pair(p) != 0) return;
    relink(p);
    close(old_master);
    close(old_slave);
    return;
  }
}

static void handle_request(char *line) {
  int number;
  if (sscanf(line, "hangup %d", &number) == 1)
    hang_up(number);
  else
    fprintf(stderr, "pty-com: unknown request '%s'\n", line);
}

static int parse_ports(const char *list) {
  const char *s = list;
  while (*s) {
    char *end;
    long a = strtol(s, &end, 10);
    if (end == s || a <= 0 || port_count >= MAX_PORTS) return -1;
    int first = port_count;
    ports[port_count].number = (int)a;
    ports[port_count].peer = first;
    ++port_count;
    s = end;
    if (*s == ':') {
      long b = strtol(s + 1, &end, 10);
      if (end == s + 1 || b <= 0 || port_count >= MAX_PORTS) return -1;
      ports[port_count].number = (int)b;
      ports[port_count].peer = first;
      ports[first].peer = port_count;
      ++port_count;
      s = end;
    }
    if (*s == ',')
      ++s;
    else if (*s)
      return -1;
  }
  return port_count > 0 ? 0 : -1;
}

/* Moves what one master has to say into its peer's pending bytes. */
static void carry(struct port *from) {
  struct port *to = &ports[from->peer];
  size_t room = PENDING_LIMIT - to->pending_len;
  if (room == 0) return;
  ssize_t n = read(from->master, to->pending + to->pending_len, room);
  if (n > 0) to->pending_len += (size_t)n;
}

static void flush(struct port *p) {
  if (p->pending_len == 0) return;
  ssize_t n = write(p->master, p->pending, p->pending_len);
  if (n > 0) {
    memmove(p->pending, p->pending + n, p->pending_len - (size_t)n);
    p->pending_len -= (size_t)n;
  }
}

int main(int argc, char **argv) {
  const char *preload = NULL;
  int arg = 1;
  if (argc > 2 && strcmp(argv[1], "--preload") == 0) {
    preload = argv[2];
    arg = 3;
  }
  if (argc - arg < 3 || parse_ports(argv[arg + 1]) != 0) {
    fprintf(stderr,
            "usage: pty-com [--preload <library>] <wineprefix> <ports> <command> [args...]\n"
            "  <ports>: N (loopback plug) or N:M (null-modem cable), comma-separated\n");
    return 2;
  }
  const char *prefix = argv[arg];
  char **command = argv + arg + 2;

  char dir[] = "/tmp/pty-com.XXXXXX";
  if (!mkdtemp(dir)) {
    perror("pty-com: mkdtemp");
    return 2;
  }
  char state_path[64], control_path[64], control_win[80];
  snprintf(state_path, sizeof state_path, "%s/lines", dir);
  snprintf(control_path, sizeof control_path, "%s/control", dir);
  snprintf(control_win, sizeof control_win, "Z:%s", control_path);
  for (char *c = control_win; *c; ++c)
    if (*c == '/') *c = '\\';

  int state_fd = open(state_path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (state_fd < 0 || ftruncate(state_fd, sizeof *lines) != 0) {
    perror("pty-com: state file");
    return 2;
  }
  lines = mmap(NULL, sizeof *lines, PROT_READ | PROT_WRITE, MAP_SHARED, state_fd, 0);
  if (lines == MAP_FAILED) {
    perror("pty-com: mmap");
    return 2;
  }
  memset(lines, 0, sizeof *lines);
  if (mkfifo(control_path, 0600) != 0) {
    perror("pty-com: mkfifo");
    return 2;
  }
  /* Read and write: the FIFO never reports end of file when a writer goes. */
  int control = open(control_path, O_RDWR | O_NONBLOCK | O_CLOEXEC);

  for (int i = 0; i < port_count; ++i) {
    struct port *p = &ports[i];
    lines->ends[i].peer = p->peer;
    snprintf(p->link, sizeof p->link, "%s/dosdevices/com%d", prefix, p->number);
    if (open_pair(p) != 0) return 2;
    unlink(p->link);
    relink(p);
  }
  lines->count = (uint32_t)port_count;
  __atomic_store_n(&lines->magic, MODEM_LINES_MAGIC, __ATOMIC_RELEASE);

  if (pipe2(child_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    perror("pty-com: pipe");
    return 2;
  }
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = on_child;
  sa.sa_flags = SA_RESTART | SA_NOCLDSTOP;
  sigaction(SIGCHLD, &sa, NULL);

  pid_t child = fork();
  if (child == 0) {
    for (int i = 0; i < port_count; ++i) {
      close(ports[i].master);
      close(ports[i].slave);
    }
    setenv("TORVEX_KEEP_COM_LINKS", "1", 1);
    setenv(MODEM_LINES_ENV, state_path, 1);
    setenv("TORVEX_CABLE_CONTROL", control_win, 1);
    if (preload) {
      const char *old = getenv("LD_PRELOAD");
      char value[8192];
      snprintf(value, sizeof value, "%s%s%s", preload, old && *old ? ":" : "", old ? old : "");
      setenv("LD_PRELOAD", value, 1);
    }
    execvp(command[0], command);
    perror("pty-com: exec");
    _exit(127);
  }

  char request[256];
  size_t request_len = 0;
  int status = 0;
  for (;;) {
    pid_t done = waitpid(child, &status, WNOHANG);
    if (done == child) break;

    struct pollfd fds[MAX_PORTS + 2];
    int n = 0;
    for (int i = 0; i < port_count; ++i) {
      struct port *p = &ports[i];
      short events = 0;
      if (ports[p->peer].pending_len < PENDING_LIMIT) events |= POLLIN;
      if (p->pending_len > 0) events |= POLLOUT;
      fds[n].fd = p->master;
      fds[n].events = events;
      fds[n].revents = 0;
      ++n;
    }
    fds[n].fd = control;
    fds[n].events = POLLIN;
    fds[n].revents = 0;
    fds[n + 1].fd = child_pipe[0];
    fds[n + 1].events = POLLIN;
    fds[n + 1].revents = 0;
    /* The timeout only serves to put back a link that another Wine run in
     * the same prefix may have removed. */
    int ready = poll(fds, (nfds_t)n + 2, 1000);
    if (ready < 0 && errno != EINTR) break;

    for (int i = 0; i < port_count; ++i) {
      struct stat st;
      if (lstat(ports[i].link, &st) != 0) relink(&ports[i]);
    }
    if (ready <= 0) continue;
    if (fds[n + 1].revents & POLLIN) {
      char drain[16];
      while (read(child_pipe[0], drain, sizeof drain) > 0) {
      }
    }
    for (int i = 0; i < port_count; ++i) {
      if (fds[i].revents & POLLIN) carry(&ports[i]);
      if (fds[i].revents & POLLOUT) flush(&ports[i]);
    }
    for (int i = 0; i < port_count; ++i) flush(&ports[i]);
    if (control >= 0 && (fds[n].revents & POLLIN)) {
      ssize_t got = read(control, request + request_len, sizeof request - 1 - request_len);
      if (got > 0) request_len += (size_t)got;
      char *nl;
      while ((nl = memchr(request, '\n', request_len)) != NULL) {
        *nl = '\0';
        handle_request(request);
        size_t used = (size_t)(nl - request) + 1;
        memmove(request, request + used, request_len - used);
        request_len -= used;
      }
      if (request_len == sizeof request - 1) request_len = 0; /* a line too long */
    }
  }

  for (int i = 0; i < port_count; ++i) {
    unlink(ports[i].link);
    close(ports[i].master);
    close(ports[i].slave);
  }
  if (control >= 0) close(control);
  unlink(control_path);
  unlink(state_path);
  rmdir(dir);
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 1;
}

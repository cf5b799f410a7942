/*
 * pty-com: runs a command while a pseudo-terminal stands for a Wine COM port.
 *
 *   pty-com <wineprefix> <port number> <command> [args...]
 *
 * Makes a pseudo-terminal pair, puts its slave side in raw mode, links
 * <wineprefix>/dosdevices/com<N> to it and runs the command with
 * TORVEX_KEEP_COM_LINKS=1 (so that the Wine runner keeps the link). Meanwhile
 * every byte the Windows side writes to the port is sent straight back, so a
 * test can write and read a real serial device. The link is removed at the
 * end (and put back whenever another Wine run in the prefix removes it); the
 * exit status is the command's.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

int main(int argc, char **argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: pty-com <wineprefix> <port number> <command> [args...]\n");
    return 2;
  }
  char link[4096];
  snprintf(link, sizeof link, "%s/dosdevices/com%s", argv[1], argv[2]);

  int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
    perror("pty-com: posix_openpt");
    return 2;
  }
  const char *slaveName = ptsname(master);
  /* Keeping the slave open lets the port be closed and opened again without
   * the pair hanging up. */
  int slave = open(slaveName, O_RDWR | O_NOCTTY);
  struct termios tio;
  if (slave < 0 || tcgetattr(slave, &tio) != 0) {
    perror("pty-com: slave");
    return 2;
  }
  cfmakeraw(&tio);
  tcsetattr(slave, TCSANOW, &tio);

  unlink(link);
  if (symlink(slaveName, link) != 0) {
    perror("pty-com: symlink");
    return 2;
  }

  pid_t child = fork();
  if (child == 0) {
    close(master);
    close(slave);
    setenv("TORVEX_KEEP_COM_LINKS", "1", 1);
    execvp(argv[3], argv + 3);
    perror("pty-com: exec");
    _exit(127);
  }

  int status = 0;
  for (;;) {
    pid_t done = waitpid(child, &status, WNOHANG);
    if (done == child) break;
    /* Another Wine run in the same prefix clears the COM links it did not
     * make; put ours back. */
    struct stat st;
    if (lstat(link, &st) != 0) symlink(slaveName, link);
    struct pollfd p = {master, POLLIN, 0};
    if (poll(&p, 1, 20) > 0 && (p.revents & POLLIN)) {
      char buf[4096];
      ssize_t n = read(master, buf, sizeof buf);
      if (n > 0) {
        ssize_t off = 0;
        while (off < n) {
          ssize_t w = write(master, buf + off, (size_t)(n - off));
          if (w <= 0) break;
          off += w;
        }
      }
    }
  }
  unlink(link);
  close(slave);
  close(master);
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 1;
}

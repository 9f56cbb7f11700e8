/* LD_PRELOAD shim for Wine tests on a Linux pseudo-terminal, where a COM port lacks what a
 * serial line has:
 *  - modem lines: the modem-line ioctls fail, and Wine's WaitCommEvent gives up; they are
 *    answered from a fake line state (DSR, CTS and CD up; DTR/RTS as set);
 *  - parity and stop bits: the terminal drops them; reading the settings back shows them;
 *  - transmit purge: bytes written before a purge are not taken back, and a purge without a
 *    drain before it is reported (see tcflush below). */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdarg.h>
#include <sys/ioctl.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

typedef int (*ioctl_fn)(int, unsigned long, ...);

static int fake_lines[1024];
static unsigned char fake_known[1024];

static int emulate(int fd, unsigned long request, int *arg) {
  if (fd < 0 || fd >= 1024 || !arg) return -2;
  if (!fake_known[fd]) {
    fake_lines[fd] = TIOCM_DSR | TIOCM_CTS | TIOCM_CD | TIOCM_DTR | TIOCM_RTS;
    fake_known[fd] = 1;
  }
  switch (request) {
    case TIOCMGET: *arg = fake_lines[fd]; return 0;
    case TIOCMSET: fake_lines[fd] = *arg | TIOCM_DSR | TIOCM_CTS | TIOCM_CD; return 0;
    case TIOCMBIS: fake_lines[fd] |= *arg; return 0;
    case TIOCMBIC: fake_lines[fd] &= ~*arg | TIOCM_DSR | TIOCM_CTS | TIOCM_CD; return 0;
    default: return -2;
  }
}

static int is_modem_request(unsigned long r) {
  return r == TIOCMGET || r == TIOCMSET || r == TIOCMBIS || r == TIOCMBIC;
}

static int call(const char *name, int fd, unsigned long request, void *arg) {
  ioctl_fn real = (ioctl_fn)dlsym(RTLD_NEXT, name);
  if (!real) real = (ioctl_fn)dlsym(RTLD_NEXT, "ioctl");
  int rc = real(fd, request, arg);
  if (rc < 0 && is_modem_request(request) && (errno == EINVAL || errno == ENOTTY)) {
    struct termios t;
    int saved = errno;
    if (tcgetattr(fd, &t) == 0) {
      int e = emulate(fd, request, (int *)arg);
      if (e == 0) return 0;
    }
    errno = saved;
  }
  return rc;
}

int ioctl(int fd, unsigned long request, ...) {
  va_list ap;
  va_start(ap, request);
  void *arg = va_arg(ap, void *);
  va_end(ap);
  return call("ioctl", fd, request, arg);
}

int __ioctl_time64(int fd, unsigned long request, ...) {
  va_list ap;
  va_start(ap, request);
  void *arg = va_arg(ap, void *);
  va_end(ap);
  return call("__ioctl_time64", fd, request, arg);
}

/* A pseudo-terminal drops the parity and stop-bit settings it is given; keep what the
 * program asked for, so that reading the line settings back shows them. */
#define CFLAG_KEPT (PARENB | PARODD | CSTOPB)
#define IFLAG_KEPT (INPCK | PARMRK | IGNPAR)
static tcflag_t asked_cflag[1024], asked_iflag[1024];
static unsigned char asked_known[1024];

typedef int (*tcsetattr_fn)(int, int, const struct termios *);
typedef int (*tcgetattr_fn)(int, struct termios *);

int tcsetattr(int fd, int actions, const struct termios *t) {
  tcsetattr_fn real = (tcsetattr_fn)dlsym(RTLD_NEXT, "tcsetattr");
  int rc = real(fd, actions, t);
  if (rc == 0 && t && fd >= 0 && fd < 1024) {
    asked_cflag[fd] = t->c_cflag & CFLAG_KEPT;
    asked_iflag[fd] = t->c_iflag & IFLAG_KEPT;
    asked_known[fd] = 1;
  }
  return rc;
}

int tcgetattr(int fd, struct termios *t) {
  tcgetattr_fn real = (tcgetattr_fn)dlsym(RTLD_NEXT, "tcgetattr");
  int rc = real(fd, t);
  if (rc == 0 && t && fd >= 0 && fd < 1024 && asked_known[fd]) {
    t->c_cflag = (t->c_cflag & ~CFLAG_KEPT) | asked_cflag[fd];
    t->c_iflag = (t->c_iflag & ~IFLAG_KEPT) | asked_iflag[fd];
  }
  return rc;
}

/* A real line has sent what was written once the program has drained it (FlushFileBuffers,
 * which Wine turns into tcdrain): purging the transmit side then discards nothing. Without the
 * drain, an adapter's transmit queue may still hold the last bytes, and the purge loses them.
 * On a pseudo-terminal the far end may not have read drained bytes yet, and flushing the
 * output queue would take them back: keep them. A purge of bytes written since the last drain
 * is the program's fault; it is kept too (the far end of a pseudo-terminal reads at once, so a
 * real flush would lose them only now and then), and reported: one line
 * "undrained transmit purge: <n> bytes" in the file that PTY_SHIM_LOG names. */
typedef int (*tcflush_fn)(int, int);
typedef int (*tcdrain_fn)(int);
typedef ssize_t (*write_fn)(int, const void *, size_t);
typedef int (*close_fn)(int);

static unsigned long undrained[1024];

ssize_t write(int fd, const void *buf, size_t count) {
  write_fn real = (write_fn)dlsym(RTLD_NEXT, "write");
  ssize_t rc = real(fd, buf, count);
  if (rc > 0 && fd >= 0 && fd < 1024) undrained[fd] += (unsigned long)rc;
  return rc;
}

int close(int fd) {
  close_fn real = (close_fn)dlsym(RTLD_NEXT, "close");
  if (fd >= 0 && fd < 1024) undrained[fd] = 0;
  return real(fd);
}

int tcdrain(int fd) {
  tcdrain_fn real = (tcdrain_fn)dlsym(RTLD_NEXT, "tcdrain");
  int rc = real(fd);
  if (rc == 0 && fd >= 0 && fd < 1024) undrained[fd] = 0;
  return rc;
}

static void report_undrained(int fd) {
  const char *path = getenv("PTY_SHIM_LOG");
  if (!path || !*path || fd < 0 || fd >= 1024 || !undrained[fd]) return;
  char line[96];
  int n = snprintf(line, sizeof line, "undrained transmit purge: %lu bytes\n", undrained[fd]);
  int out = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (out < 0) return;
  write_fn real_write = (write_fn)dlsym(RTLD_NEXT, "write");
  close_fn real_close = (close_fn)dlsym(RTLD_NEXT, "close");
  if (n > 0) real_write(out, line, (size_t)n);
  real_close(out);
}

int tcflush(int fd, int queue) {
  tcflush_fn real = (tcflush_fn)dlsym(RTLD_NEXT, "tcflush");
  char name[64];
  if (ptsname_r(fd, name, sizeof name) != 0 && ttyname_r(fd, name, sizeof name) == 0 &&
      strncmp(name, "/dev/pts/", 9) == 0) {
    if (queue == TCOFLUSH || queue == TCIOFLUSH) {
      report_undrained(fd);
      if (fd >= 0 && fd < 1024) undrained[fd] = 0;
    }
    if (queue == TCOFLUSH) return 0;
    if (queue == TCIOFLUSH) queue = TCIFLUSH;
  }
  return real(fd, queue);
}

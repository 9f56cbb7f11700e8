/* LD_PRELOAD shim for Wine tests: a Linux pseudo-terminal has no modem lines, so the
 * modem-line ioctls fail on it, and Wine's WaitCommEvent gives up. This answers them for
 * terminals that reject them, from a fake line state (DSR, CTS and CD up; DTR/RTS as set). */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <sys/ioctl.h>
#include <termios.h>

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

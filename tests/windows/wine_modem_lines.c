/* Preloaded into Wine by scripts/test-windows (Linux, not Windows code).
 *
 * A pseudo-terminal has no modem lines: TIOCMGET and friends fail on it. Wine
 * needs them for WaitCommEvent with modem events in the mask (the port's mask
 * has CTS, DSR, RLSD and RING), and refuses the wait without them. This gives
 * every terminal whose driver lacks them the lines of a cabled port: CTS, DSR
 * and CD on, DTR and RTS as last set (on at first), so the Win32 backend talks
 * to the gauge simulator's pseudo-terminal as to a real COM port. Calls the
 * driver answers itself pass through untouched. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <stdarg.h>
#include <sys/ioctl.h>

typedef int (*ioctl_fn)(int, unsigned long, ...);

enum { kMaxFd = 4096 };
static unsigned char g_set[kMaxFd]; /* 1 once DTR/RTS were set for the fd */
static int g_lines[kMaxFd];
static pthread_mutex_t g_mu = PTHREAD_MUTEX_INITIALIZER;

static int Modem(ioctl_fn real, int fd, unsigned long request, void* arg) {
  const int rc = real(fd, request, arg);
  if (rc == 0 || (errno != ENOTTY && errno != EINVAL) || fd < 0 || fd >= kMaxFd) return rc;
  if (request != TIOCMGET && request != TIOCMSET && request != TIOCMBIS && request != TIOCMBIC)
    return rc;
  const int saved = errno;
  if (real(fd, TIOCOUTQ, &(int){0}) != 0) { /* not a terminal: leave the failure */
    errno = saved;
    return rc;
  }
  const int outputs = TIOCM_DTR | TIOCM_RTS;
  pthread_mutex_lock(&g_mu);
  if (!g_set[fd]) {
    g_set[fd] = 1;
    g_lines[fd] = outputs;
  }
  if (request == TIOCMGET) {
    *(int*)arg = g_lines[fd] | TIOCM_CTS | TIOCM_DSR | TIOCM_CAR;
  } else {
    const int bits = *(const int*)arg & outputs;
    if (request == TIOCMSET) g_lines[fd] = bits;
    if (request == TIOCMBIS) g_lines[fd] |= bits;
    if (request == TIOCMBIC) g_lines[fd] &= ~bits;
  }
  pthread_mutex_unlock(&g_mu);
  return 0;
}

int ioctl(int fd, unsigned long request, ...) {
  static ioctl_fn real;
  if (!real) real = (ioctl_fn)dlsym(RTLD_NEXT, "ioctl");
  va_list ap;
  va_start(ap, request);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  return Modem(real, fd, request, arg);
}

/* Wine's 32-bit half is built with a 64-bit time_t and calls this name. */
int __ioctl_time64(int fd, unsigned long request, ...) {
  static ioctl_fn real;
  if (!real) real = (ioctl_fn)dlsym(RTLD_NEXT, "__ioctl_time64");
  va_list ap;
  va_start(ap, request);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  return Modem(real, fd, request, arg);
}

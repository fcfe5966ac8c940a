/* Modem lines for pseudo-terminals, loaded with LD_PRELOAD.
 *
 * A pty has no modem-control ioctls. For a pty slave /dev/pts/N whose line
 * file "$KSIDU_PTYMODEM_DIR/N" exists, TIOCMGET/TIOCMSET/TIOCMBIS/TIOCMBIC
 * are answered from that file instead: it holds the TIOCM_* bits as one
 * native 32-bit int. The opening side may change only its output lines
 * (DTR, RTS, OUT1, OUT2, LOOP); a test or a peer process sets CTS, DSR, CD
 * and RI by writing the file under flock. Everything else, and every pty
 * without a line file, goes to the real ioctl. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#ifndef TIOCM_OUT1
#define TIOCM_OUT1 0x2000
#endif
#ifndef TIOCM_OUT2
#define TIOCM_OUT2 0x4000
#endif
#ifndef TIOCM_LOOP
#define TIOCM_LOOP 0x8000
#endif

typedef int (*ioctl_fn)(int, unsigned long, ...);

static ioctl_fn real_ioctl;
static pthread_once_t real_once = PTHREAD_ONCE_INIT;

static void find_real(void) {
  void* sym = dlsym(RTLD_NEXT, "ioctl");
  memcpy(&real_ioctl, &sym, sizeof real_ioctl); /* object to function pointer */
}

/* UNIX98 pty slaves use majors 136 to 143. */
static int line_file(int fd) {
  const char* dir = getenv("KSIDU_PTYMODEM_DIR");
  struct stat st;
  char path[PATH_MAX];
  unsigned index;
  int lf;
  if (!dir || !*dir || fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return -1;
  if (major(st.st_rdev) < 136 || major(st.st_rdev) > 143) return -1;
  index = (major(st.st_rdev) - 136) * 256 + minor(st.st_rdev);
  if (snprintf(path, sizeof path, "%s/%u", dir, index) >= (int)sizeof path) return -1;
  do {
    lf = open(path, O_RDWR | O_CLOEXEC);
  } while (lf < 0 && errno == EINTR);
  return lf;
}

static int read_bits(int lf, int32_t* bits) {
  ssize_t n = pread(lf, bits, sizeof *bits, 0);
  if (n != (ssize_t)sizeof *bits) *bits = 0;
  return 0;
}

static int modem_ioctl(int lf, unsigned long request, int* arg) {
  const int32_t outputs = TIOCM_DTR | TIOCM_RTS | TIOCM_OUT1 | TIOCM_OUT2 | TIOCM_LOOP;
  int32_t bits = 0;
  int rc = 0;
  if (!arg) {
    errno = EFAULT;
    return -1;
  }
  while (flock(lf, request == TIOCMGET ? LOCK_SH : LOCK_EX) != 0 && errno == EINTR) {
  }
  read_bits(lf, &bits);
  switch (request) {
    case TIOCMGET: *arg = bits; break;
    case TIOCMSET: bits = (bits & ~outputs) | (*arg & outputs); break;
    case TIOCMBIS: bits |= *arg & outputs; break;
    case TIOCMBIC: bits &= ~(*arg & outputs); break;
  }
  if (request != TIOCMGET && pwrite(lf, &bits, sizeof bits, 0) != (ssize_t)sizeof bits) rc = -1;
  flock(lf, LOCK_UN);
  return rc;
}

int ioctl(int fd, unsigned long request, ...) {
  va_list ap;
  void* arg;
  va_start(ap, request);
  arg = va_arg(ap, void*);
  va_end(ap);
  if (request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS ||
      request == TIOCMBIC) {
    int saved = errno;
    int lf = line_file(fd);
    if (lf >= 0) {
      int rc = modem_ioctl(lf, request, (int*)arg);
      int err = errno;
      close(lf);
      errno = rc == 0 ? saved : err;
      return rc;
    }
    errno = saved;
  }
  pthread_once(&real_once, find_real);
  if (!real_ioctl) {
    errno = ENOSYS;
    return -1;
  }
  return real_ioctl(fd, request, arg);
}

/* Modem lines for pseudo-terminals, loaded with LD_PRELOAD.
 *
 * A pty has no modem-control ioctls. For a pty slave /dev/pts/N whose line
 * file "$KSIDU_PTYMODEM_DIR/N" exists, TIOCMGET/TIOCMSET/TIOCMBIS/TIOCMBIC
 * are answered from that file instead: it holds the TIOCM_* bits as one
 * native 32-bit int. The opening side may change only its output lines
 * (DTR, RTS, OUT1, OUT2, LOOP); a test or a peer process sets CTS, DSR, CD
 * and RI by writing the file under flock. Everything else, and every pty
 * without a line file, goes to the real ioctl.
 *
 * When the file's bits include PTYMODEM_MIWAIT, TIOCMIWAIT is answered too:
 * it blocks until one of the asked-for input lines changes in the file, and
 * returns -1 with EINTR when a signal arrives (EIO when the file is
 * removed). Without that bit it fails as a pty's does (ENOTTY).
 *
 * When the file's bits include PTYMODEM_SERIAL, TIOCGSERIAL and TIOCSSERIAL
 * are answered as a USB serial adapter's driver does: the port's
 * serial_struct flags live in the file, for the device rather than for one
 * descriptor, so that they outlast a close as a driver's do; TIOCSSERIAL
 * stores them and, as for a user without CAP_SYS_ADMIN, refuses (EPERM) to
 * change a flag outside ASYNC_USR_MASK. Without that bit both fail as a
 * pty's do (ENOTTY).
 *
 * The file holds 32-bit words: the bits; the TIOCMGET calls answered; the
 * output queue to report; the TIOCMSET/TIOCMBIS/TIOCMBIC calls answered; the
 * serial_struct flags; the TIOCSSERIAL calls answered.
 *
 * KSIDU_PTYMODEM_COST_US=N makes each of those modem-line calls take N
 * microseconds, as a USB adapter's driver takes about a millisecond to ask
 * its device. With KSIDU_PTYMODEM_OUTQ=1, TIOCOUTQ answers the file's output
 * queue when it is not 0: bytes a UART would still hold, which a pty never
 * does. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/serial.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>
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

#define PTYMODEM_MIWAIT 0x40000000
#define PTYMODEM_SERIAL 0x20000000
#define PTYMODEM_MODES (PTYMODEM_MIWAIT | PTYMODEM_SERIAL)

typedef int (*ioctl_fn)(int, unsigned long, ...);

static ioctl_fn real_ioctl;
static pthread_once_t real_once = PTHREAD_ONCE_INIT;

static void find_real(void) {
  void* sym = dlsym(RTLD_NEXT, "ioctl");
  memcpy(&real_ioctl, &sym, sizeof real_ioctl); /* object to function pointer */
}

/* UNIX98 pty slaves use majors 136 to 143. */
static int line_path(int fd, char* path, size_t size) {
  const char* dir = getenv("KSIDU_PTYMODEM_DIR");
  struct stat st;
  unsigned index;
  if (!dir || !*dir || fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return -1;
  if (major(st.st_rdev) < 136 || major(st.st_rdev) > 143) return -1;
  index = (major(st.st_rdev) - 136) * 256 + minor(st.st_rdev);
  if (snprintf(path, size, "%s/%u", dir, index) >= (int)size) return -1;
  return 0;
}

static int line_file(int fd) {
  char path[PATH_MAX];
  int lf;
  if (line_path(fd, path, sizeof path) != 0) return -1;
  do {
    lf = open(path, O_RDWR | O_CLOEXEC);
  } while (lf < 0 && errno == EINTR);
  return lf;
}

#define WORD_GETS 1
#define WORD_OUTQ 2
#define WORD_SETS 3
#define WORD_SERIAL_FLAGS 4
#define WORD_SERIAL_SETS 5

static uint32_t read_word(int lf, int word) {
  uint32_t value = 0;
  if (pread(lf, &value, sizeof value, (off_t)(word * sizeof value)) != (ssize_t)sizeof value)
    value = 0;
  return value;
}

static int count_call(int lf, int word) {
  uint32_t calls = read_word(lf, word) + 1;
  return pwrite(lf, &calls, sizeof calls, (off_t)(word * sizeof calls)) == (ssize_t)sizeof calls
             ? 0
             : -1;
}

/* What a USB adapter's control transfer costs, spent before the lock is
 * taken, so that a peer changing the lines is not held up. */
static void charge_cost(void) {
  const char* text = getenv("KSIDU_PTYMODEM_COST_US");
  long us = text ? strtol(text, NULL, 10) : 0;
  struct timespec left;
  if (us <= 0) return;
  left.tv_sec = us / 1000000;
  left.tv_nsec = (us % 1000000) * 1000;
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
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
  while (flock(lf, LOCK_EX) != 0 && errno == EINTR) {
  }
  read_bits(lf, &bits);
  switch (request) {
    case TIOCMGET:
      *arg = bits & ~PTYMODEM_MODES;
      rc = count_call(lf, WORD_GETS);
      break;
    case TIOCMSET:
      bits = (bits & ~outputs) | (*arg & outputs);
      break;
    case TIOCMBIS:
      bits |= *arg & outputs;
      break;
    case TIOCMBIC:
      bits &= ~(*arg & outputs);
      break;
  }
  if (request != TIOCMGET) {
    if (pwrite(lf, &bits, sizeof bits, 0) != (ssize_t)sizeof bits || count_call(lf, WORD_SETS) != 0)
      rc = -1;
  }
  flock(lf, LOCK_UN);
  return rc;
}

static void locked_bits(int lf, int32_t* bits) {
  while (flock(lf, LOCK_SH) != 0 && errno == EINTR) {
  }
  read_bits(lf, bits);
  flock(lf, LOCK_UN);
}

/* TIOCGSERIAL/TIOCSSERIAL on a port whose file has PTYMODEM_SERIAL; 1 when
 * the file lacks it (the real ioctl answers then). */
static int serial_ioctl(int fd, int lf, unsigned long request, struct serial_struct* ss) {
  struct stat st;
  int32_t bits = 0;
  int rc = 0;
  while (flock(lf, LOCK_EX) != 0 && errno == EINTR) {
  }
  read_bits(lf, &bits);
  if (!(bits & PTYMODEM_SERIAL)) {
    flock(lf, LOCK_UN);
    return 1;
  }
  if (!ss) {
    rc = -1;
    errno = EFAULT;
  } else if (request == TIOCGSERIAL) {
    /* What ftdi_sio reports: the flags, its base clock, no I/O port or IRQ. */
    memset(ss, 0, sizeof *ss);
    ss->type = PORT_16550A;
    if (fstat(fd, &st) == 0) ss->line = (int)minor(st.st_rdev);
    ss->flags = (int)read_word(lf, WORD_SERIAL_FLAGS);
    ss->baud_base = 3000000;
    ss->close_delay = 50;
    ss->closing_wait = 3000;
  } else {
    uint32_t flags = read_word(lf, WORD_SERIAL_FLAGS);
    if (((uint32_t)ss->flags ^ flags) & ~(uint32_t)ASYNC_USR_MASK) {
      rc = -1;
      errno = EPERM;
    } else {
      flags = (uint32_t)ss->flags;
      if (pwrite(lf, &flags, sizeof flags, (off_t)(WORD_SERIAL_FLAGS * sizeof flags)) !=
              (ssize_t)sizeof flags ||
          count_call(lf, WORD_SERIAL_SETS) != 0)
        rc = -1;
    }
  }
  flock(lf, LOCK_UN);
  return rc;
}

/* Blocks until a line of `lines` differs from what the file held at the
 * start; a signal ends the wait as it ends the kernel's. */
static int wait_lines(int fd, int lf, unsigned long lines) {
  char path[PATH_MAX];
  char events[4096] __attribute__((aligned(__alignof__(struct inotify_event))));
  int32_t start = 0, now = 0;
  int in, rc = -1, err = EIO;
  struct stat st;
  if (line_path(fd, path, sizeof path) != 0) {
    errno = ENOTTY;
    return -1;
  }
  in = inotify_init1(IN_CLOEXEC);
  if (in < 0) return -1;
  if (inotify_add_watch(in, path, IN_MODIFY | IN_CLOSE_WRITE | IN_ATTRIB) < 0) {
    err = errno;
    close(in);
    errno = err;
    return -1;
  }
  locked_bits(lf, &start);
  for (;;) {
    ssize_t n = read(in, events, sizeof events);
    if (n < 0) {
      err = errno; /* EINTR on a signal */
      break;
    }
    if (fstat(lf, &st) != 0 || st.st_nlink == 0) {
      err = EIO; /* the line file went away, as an unplugged device */
      break;
    }
    locked_bits(lf, &now);
    if ((now ^ start) & (int32_t)lines & (TIOCM_CTS | TIOCM_DSR | TIOCM_CAR | TIOCM_RNG)) {
      rc = 0;
      break;
    }
  }
  close(in);
  if (rc != 0) errno = err;
  return rc;
}

int ioctl(int fd, unsigned long request, ...) {
  va_list ap;
  void* arg;
  va_start(ap, request);
  arg = va_arg(ap, void*);
  va_end(ap);
  if (request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS || request == TIOCMBIC) {
    int saved = errno;
    int lf = line_file(fd);
    if (lf >= 0) {
      int rc;
      charge_cost();
      rc = modem_ioctl(lf, request, (int*)arg);
      int err = errno;
      close(lf);
      errno = rc == 0 ? saved : err;
      return rc;
    }
    errno = saved;
  } else if (request == TIOCOUTQ && arg && getenv("KSIDU_PTYMODEM_OUTQ")) {
    int saved = errno;
    int lf = line_file(fd);
    if (lf >= 0) {
      uint32_t queued = read_word(lf, WORD_OUTQ);
      close(lf);
      if (queued != 0) {
        *(int*)arg = (int)queued;
        errno = saved;
        return 0;
      }
    }
    errno = saved;
  } else if (request == TIOCGSERIAL || request == TIOCSSERIAL) {
    int saved = errno;
    int lf = line_file(fd);
    if (lf >= 0) {
      int rc = serial_ioctl(fd, lf, request, (struct serial_struct*)arg);
      int err = errno;
      close(lf);
      if (rc <= 0) {
        errno = rc == 0 ? saved : err;
        return rc;
      }
    }
    errno = saved;
  } else if (request == TIOCMIWAIT) {
    int saved = errno;
    int lf = line_file(fd);
    if (lf >= 0) {
      int32_t bits = 0;
      locked_bits(lf, &bits);
      if (bits & PTYMODEM_MIWAIT) {
        int rc = wait_lines(fd, lf, (unsigned long)arg);
        int err = errno;
        close(lf);
        errno = rc == 0 ? saved : err;
        return rc;
      }
      close(lf);
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

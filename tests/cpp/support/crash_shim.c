// LD_PRELOAD shim for crash tests: counts the calls that change files (writes, syncs,
// truncations, renames) and kills the process with SIGKILL just before the call numbered
// TAMIX_CRASH_AT. Writes to standard streams do not count. While TAMIX_FAIL_SYNC_OF names
// a file, syncs of it fail with EIO.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <signal.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

static atomic_long calls;

static void before_change(int fd) {
  if (fd >= 0 && fd <= 2) return;
  static long crash_at = -1;
  if (crash_at < 0) {
    const char* at = getenv("TAMIX_CRASH_AT");
    crash_at = at ? atol(at) : 0;
  }
  const long n = atomic_fetch_add(&calls, 1) + 1;
  if (n == crash_at) raise(SIGKILL);
}

#define NEXT(name) ((__typeof__(&name))dlsym(RTLD_NEXT, #name))

ssize_t write(int fd, const void* buf, size_t n) {
  before_change(fd);
  return NEXT(write)(fd, buf, n);
}
ssize_t pwrite(int fd, const void* buf, size_t n, off_t off) {
  before_change(fd);
  return NEXT(pwrite)(fd, buf, n, off);
}
ssize_t pwrite64(int fd, const void* buf, size_t n, off64_t off) {
  before_change(fd);
  return NEXT(pwrite64)(fd, buf, n, off);
}
ssize_t writev(int fd, const struct iovec* iov, int n) {
  before_change(fd);
  return NEXT(writev)(fd, iov, n);
}
static int sync_fails(int fd) {
  const char* name = getenv("TAMIX_FAIL_SYNC_OF");
  if (name == NULL) return 0;
  char link[64], target[4096];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  const ssize_t n = readlink(link, target, sizeof target - 1);
  if (n < 0) return 0;
  target[n] = '\0';
  const size_t len = strlen(name);
  if ((size_t)n < len || strcmp(target + n - len, name) != 0) return 0;
  errno = EIO;
  return 1;
}

int fsync(int fd) {
  before_change(fd);
  return sync_fails(fd) ? -1 : NEXT(fsync)(fd);
}
int fdatasync(int fd) {
  before_change(fd);
  return sync_fails(fd) ? -1 : NEXT(fdatasync)(fd);
}
int ftruncate(int fd, off_t len) {
  before_change(fd);
  return NEXT(ftruncate)(fd, len);
}
int ftruncate64(int fd, off64_t len) {
  before_change(fd);
  return NEXT(ftruncate64)(fd, len);
}
int rename(const char* from, const char* to) {
  before_change(-1);
  return NEXT(rename)(from, to);
}

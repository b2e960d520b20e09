// LD_PRELOAD shim for crash tests: counts the calls that change files (writes, syncs,
// truncations, renames) and kills the process with SIGKILL just before the call numbered
// TAMIX_CRASH_AT. Writes to standard streams do not count. While TAMIX_FAIL_SYNC_OF names
// a file, syncs of it fail with EIO. While TAMIX_LOG_CHANGES names a file, each change call
// appends "<call> <path>" to it, so a test can count the writes and syncs of a step.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

static atomic_long calls;

#define NEXT(name) ((__typeof__(&name))dlsym(RTLD_NEXT, #name))

static int path_of(int fd, char* path, size_t size) {
  char link[64];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  const ssize_t n = readlink(link, path, size - 1);
  if (n < 0) return 0;
  path[n] = '\0';
  return 1;
}

static void log_change(const char* call, int fd, const char* path) {
  const char* log = getenv("TAMIX_LOG_CHANGES");
  char target[4096];
  if (log == NULL || (path == NULL && !path_of(fd, target, sizeof target))) return;
  const int out = open(log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (out < 0) return;
  char line[4200];
  const int n = snprintf(line, sizeof line, "%s %s\n", call, path ? path : target);
  (void)NEXT(write)(out, line, n < (int)sizeof line ? (size_t)n : sizeof line - 1);
  close(out);
}

// path names the file when there is no descriptor (rename).
static void before_change(const char* call, int fd, const char* path) {
  if (fd >= 0 && fd <= 2) return;
  log_change(call, fd, path);
  static long crash_at = -1;
  if (crash_at < 0) {
    const char* at = getenv("TAMIX_CRASH_AT");
    crash_at = at ? atol(at) : 0;
  }
  const long n = atomic_fetch_add(&calls, 1) + 1;
  if (n == crash_at) raise(SIGKILL);
}

ssize_t write(int fd, const void* buf, size_t n) {
  before_change("write", fd, NULL);
  return NEXT(write)(fd, buf, n);
}
ssize_t pwrite(int fd, const void* buf, size_t n, off_t off) {
  before_change("pwrite", fd, NULL);
  return NEXT(pwrite)(fd, buf, n, off);
}
ssize_t pwrite64(int fd, const void* buf, size_t n, off64_t off) {
  before_change("pwrite64", fd, NULL);
  return NEXT(pwrite64)(fd, buf, n, off);
}
ssize_t writev(int fd, const struct iovec* iov, int n) {
  before_change("writev", fd, NULL);
  return NEXT(writev)(fd, iov, n);
}
static int sync_fails(int fd) {
  const char* name = getenv("TAMIX_FAIL_SYNC_OF");
  if (name == NULL) return 0;
  char target[4096];
  if (!path_of(fd, target, sizeof target)) return 0;
  const size_t n = strlen(target), len = strlen(name);
  if (n < len || strcmp(target + n - len, name) != 0) return 0;
  errno = EIO;
  return 1;
}

int fsync(int fd) {
  before_change("fsync", fd, NULL);
  return sync_fails(fd) ? -1 : NEXT(fsync)(fd);
}
int fdatasync(int fd) {
  before_change("fdatasync", fd, NULL);
  return sync_fails(fd) ? -1 : NEXT(fdatasync)(fd);
}
int ftruncate(int fd, off_t len) {
  before_change("ftruncate", fd, NULL);
  return NEXT(ftruncate)(fd, len);
}
int ftruncate64(int fd, off64_t len) {
  before_change("ftruncate64", fd, NULL);
  return NEXT(ftruncate64)(fd, len);
}
int rename(const char* from, const char* to) {
  before_change("rename", -1, from);
  return NEXT(rename)(from, to);
}

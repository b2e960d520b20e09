// LD_PRELOAD shim for crash tests: counts the calls that change files (writes, syncs,
// truncations, renames) and kills the process with SIGKILL just before the call numbered
// TAMIX_CRASH_AT. Writes to standard streams do not count. While TAMIX_FAIL_SYNC_OF names
// a file, syncs of it fail with EIO. While TAMIX_LOG_CHANGES names a file, each change call
// appends "<call> <path>" to it, so a test can count the writes and syncs of a step.
//
// Power loss: with TAMIX_POWER_DIR set, only syncs count as kill points, and each completed
// sync records what a power loss could not take away. A file's sync copies its content to
// "f_<ino>_<gen>" there; a directory's sync lists its entries ("<f|d> <ino> <gen> <name>"
// lines) in "d_<ino>_<gen>". gen tells apart the inodes that one number took in turn: 0 for
// one that existed when the process started, then one more at each creation seen here.
#define _GNU_SOURCE
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdarg.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
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

static const char* power_dir(void) { return getenv("TAMIX_POWER_DIR"); }

// path names the file when there is no descriptor (rename).
static void before_change(const char* call, int fd, const char* path) {
  if (fd >= 0 && fd <= 2) return;
  log_change(call, fd, path);
  if (power_dir() != NULL && strstr(call, "sync") == NULL) return;
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

static pthread_mutex_t power_lock = PTHREAD_MUTEX_INITIALIZER;
static struct {
  ino_t ino;
  unsigned gen;
} created[1 << 14];
static size_t created_count;

static unsigned gen_of(ino_t ino) {
  for (size_t i = created_count; i-- > 0;) {
    if (created[i].ino == ino) return created[i].gen;
  }
  return 0;
}

static void note_created(const char* path) {
  struct stat st;
  if (power_dir() == NULL || stat(path, &st) != 0) return;
  pthread_mutex_lock(&power_lock);
  if (created_count == sizeof created / sizeof created[0]) abort();
  created[created_count].ino = st.st_ino;
  created[created_count].gen = gen_of(st.st_ino) + 1;
  ++created_count;
  pthread_mutex_unlock(&power_lock);
}

// Writes the record under a temporary name and renames it, so a kill leaves it whole or absent.
static void put_record(const char* name, const char* bytes, size_t n) {
  char path[4096], temp[4200];
  snprintf(path, sizeof path, "%s/%s", power_dir(), name);
  snprintf(temp, sizeof temp, "%s.tmp%ld", path, (long)gettid());
  const int out = NEXT(open)(temp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (out < 0) abort();
  for (size_t done = 0; done < n;) {
    const ssize_t w = NEXT(write)(out, bytes + done, n - done);
    if (w <= 0) abort();
    done += (size_t)w;
  }
  close(out);
  if (NEXT(rename)(temp, path) != 0) abort();
}

static void record_file(int fd, const struct stat* st, unsigned gen) {
  char link[64], name[128];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  const int in = NEXT(open)(link, O_RDONLY | O_CLOEXEC);
  if (in < 0) abort();
  char* bytes = malloc((size_t)st->st_size + 1);
  size_t n = 0;
  for (ssize_t r; (r = pread(in, bytes + n, (size_t)st->st_size - n, (off_t)n)) > 0;) {
    n += (size_t)r;
  }
  close(in);
  snprintf(name, sizeof name, "f_%lu_%u", (unsigned long)st->st_ino, gen);
  put_record(name, bytes, n);
  free(bytes);
}

static void record_directory(int fd, const struct stat* st, unsigned gen) {
  char link[64], name[128];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  DIR* dir = opendir(link);
  if (dir == NULL) abort();
  size_t size = 0;
  char* text = NULL;
  FILE* lines = open_memstream(&text, &size);
  for (struct dirent* e; (e = readdir(dir)) != NULL;) {
    struct stat child;
    if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
    if (fstatat(dirfd(dir), e->d_name, &child, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (!S_ISREG(child.st_mode) && !S_ISDIR(child.st_mode)) continue;
    fprintf(lines, "%c %lu %u %s\n", S_ISDIR(child.st_mode) ? 'd' : 'f',
            (unsigned long)child.st_ino, gen_of(child.st_ino), e->d_name);
  }
  fclose(lines);
  closedir(dir);
  snprintf(name, sizeof name, "d_%lu_%u", (unsigned long)st->st_ino, gen);
  put_record(name, text, size);
  free(text);
}

static int synced(int fd, int rc) {
  struct stat st;
  if (rc != 0 || power_dir() == NULL || fstat(fd, &st) != 0) return rc;
  pthread_mutex_lock(&power_lock);
  const unsigned gen = gen_of(st.st_ino);
  if (S_ISREG(st.st_mode)) record_file(fd, &st, gen);
  if (S_ISDIR(st.st_mode)) record_directory(fd, &st, gen);
  pthread_mutex_unlock(&power_lock);
  return rc;
}

int fsync(int fd) {
  before_change("fsync", fd, NULL);
  return sync_fails(fd) ? -1 : synced(fd, NEXT(fsync)(fd));
}
int fdatasync(int fd) {
  before_change("fdatasync", fd, NULL);
  return sync_fails(fd) ? -1 : synced(fd, NEXT(fdatasync)(fd));
}

// Creations, seen only to tell a new inode from an old one of the same number.
static int open_noting_creation(int (*real)(const char*, int, ...), const char* path, int flags,
                                va_list ap) {
  const mode_t mode = (flags & O_CREAT) ? va_arg(ap, mode_t) : 0;
  struct stat st;
  const int noted = (flags & O_CREAT) && power_dir() != NULL && stat(path, &st) != 0;
  const int fd = real(path, flags, mode);
  if (fd >= 0 && noted) note_created(path);
  return fd;
}
int open(const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  const int fd = open_noting_creation(NEXT(open), path, flags, ap);
  va_end(ap);
  return fd;
}
int open64(const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  const int fd = open_noting_creation(NEXT(open64), path, flags, ap);
  va_end(ap);
  return fd;
}
int mkdir(const char* path, mode_t mode) {
  const int rc = NEXT(mkdir)(path, mode);
  if (rc == 0) note_created(path);
  return rc;
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

// Makes writes past a file size fail with EFBIG (RLIMIT_FSIZE, SIGXFSZ ignored) until
// destroyed. The limit applies to every file the process writes.
#pragma once

#include <sys/resource.h>

#include <csignal>

namespace tamix::testing {

class FileSizeLimit {
 public:
  FileSizeLimit() {
    old_handler_ = std::signal(SIGXFSZ, SIG_IGN);
    ::getrlimit(RLIMIT_FSIZE, &saved_);
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &saved_);
    std::signal(SIGXFSZ, old_handler_);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

  bool Limit(rlim_t bytes) {
    rlimit r = saved_;
    r.rlim_cur = bytes;
    return ::setrlimit(RLIMIT_FSIZE, &r) == 0;
  }
  void Lift() { ::setrlimit(RLIMIT_FSIZE, &saved_); }

 private:
  rlimit saved_{};
  void (*old_handler_)(int) = nullptr;
};

}  // namespace tamix::testing

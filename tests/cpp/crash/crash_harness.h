// Runs the crash driver under the shim that kills it at a chosen file change.
#pragma once

#include <spawn.h>
#include <sys/wait.h>

#include <csignal>
#include <set>
#include <string>
#include <vector>

#include "support/crash_scenario.h"

extern char** environ;

namespace tamix {

using IdSet = std::set<std::string>;

enum class Outcome { kCompleted, kKilled, kFailed };

// Runs the driver on dir, killed before the change call numbered crash_at (0: never), with
// the shim's other settings ("NAME=value") in extra_env.
inline Outcome RunDriver(const std::string& dir, const std::string& prefix, size_t n,
                         const std::string& how, long crash_at, const std::string& mode = "flat",
                         const std::vector<std::string>& extra_env = {}) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    if (entry.rfind("ASAN_OPTIONS=", 0) != 0 && entry.rfind("LD_PRELOAD=", 0) != 0) {
      env.push_back(entry);
    }
  }
  env.push_back("LD_PRELOAD=" TAMIX_CRASH_SHIM);
  env.push_back("TAMIX_CRASH_AT=" + std::to_string(crash_at));
  env.push_back("ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=0");
  env.insert(env.end(), extra_env.begin(), extra_env.end());
  std::vector<std::string> args = {TAMIX_CRASH_DRIVER, dir, prefix, std::to_string(n), how, mode};
  std::vector<char*> argv, envp;
  for (auto& a : args) argv.push_back(a.data());
  for (auto& e : env) envp.push_back(e.data());
  argv.push_back(nullptr);
  envp.push_back(nullptr);
  pid_t pid;
  if (posix_spawn(&pid, TAMIX_CRASH_DRIVER, nullptr, nullptr, argv.data(), envp.data()) != 0) {
    return Outcome::kFailed;
  }
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) return Outcome::kKilled;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? Outcome::kCompleted : Outcome::kFailed;
}

inline IdSet Ids(const std::string& prefix, size_t n) {
  auto v = crash::ids(prefix, n);
  return {v.begin(), v.end()};
}

inline IdSet Union(IdSet a, const IdSet& b) {
  a.insert(b.begin(), b.end());
  return a;
}

}  // namespace tamix

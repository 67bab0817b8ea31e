#ifndef TESTS_UNPRIVILEGED_H
#define TESTS_UNPRIVILEGED_H

#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

/// Runs `check` in a child process without root's power to bypass file
/// modes (as uid/gid 65534 when the test runs as root), so that a test can
/// make a directory unreadable for the code under test. `dir` is handed to
/// that user first. True when `check` returned true in the child.
template <typename Check>
bool run_unprivileged(const std::string& dir, Check check) {
  const bool root = ::geteuid() == 0;
  if (root && ::chown(dir.c_str(), 65534, 65534) != 0) return false;
  pid_t child = ::fork();
  if (child < 0) return false;
  if (child == 0) {
    if (root && (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0)) ::_exit(2);
    ::_exit(check() ? 0 : 1);
  }
  int status = 0;
  if (::waitpid(child, &status, 0) != child) return false;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

#endif

#ifndef TESTS_FAKE_PROCESS_H
#define TESTS_FAKE_PROCESS_H

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ctime>
#include <fstream>
#include <string>
#include <vector>

namespace test_support {

/// A long sleeping child started with exactly the given argv[0] (which may
/// hold blanks, to fake a longer command line) and environment, so it looks like a HANA process to the readers of
/// /proc/<pid>/cmdline and /proc/<pid>/environ. Killed and reaped on
/// destruction. The constructor returns once the child's /proc entries show
/// its new command line and environment.
class Fake_Process {
 public:
  Fake_Process(const std::string& argv0, const std::vector<std::string>& environment) {
    std::vector<std::string> args{argv0, "600"};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    std::vector<std::string> env = environment;
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(&e[0]);
    envp.push_back(nullptr);
    if (::posix_spawn(&pid_, "/bin/sleep", nullptr, nullptr, argv.data(), envp.data()) != 0) {
      pid_ = 0;
      return;
    }
    wait_for_exec(!environment.empty());
  }
  ~Fake_Process() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      int status = 0;
      ::waitpid(pid_, &status, 0);
    }
  }
  Fake_Process(const Fake_Process&) = delete;
  Fake_Process& operator=(const Fake_Process&) = delete;

  pid_t pid() const { return pid_; }

 private:
  // posix_spawn may return while the kernel is still setting up the new
  // image, when /proc/<pid>/cmdline and environ still read empty.
  void wait_for_exec(bool with_environment) {
    for (int i = 0; i < 5000; ++i) {
      if (!empty_file("cmdline") && (!with_environment || !empty_file("environ"))) return;
      struct timespec ts = {0, 1000 * 1000};
      ::nanosleep(&ts, nullptr);
    }
  }
  bool empty_file(const char* name) const {
    std::ifstream in("/proc/" + std::to_string(pid_) + "/" + name, std::ios::binary);
    return in.peek() == std::ifstream::traits_type::eof();
  }

  pid_t pid_ = 0;
};

}  // namespace test_support

#endif

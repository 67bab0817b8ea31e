// The process runner: lines, exit codes, arguments handed over whole, no
// inherited handles, time limits, environment and user switching, and the
// local port test.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <ace/Log_Record.h>

#include "agent/process/port_listening.h"
#include "agent/process/subprocess.h"
#include "agent/process/text_process_handler.h"
#include "log_capture.h"

namespace {

class Collecting_Handler : public Text_Process_Handler {
 public:
  Collecting_Handler() : Text_Process_Handler(TPHF_LOG_NONE, 1) {}
  int handle_stdout_line(const char* line, size_t len) override {
    EXPECT_EQ('\0', line[len]);
    lines.emplace_back(line, len);
    return lines.size() % 2 == 0 ? -1 : 0;  // rejected lines must not matter
  }
  int handle_stderr_line(const char* line, size_t len) override {
    err_lines.emplace_back(line, len);
    return 0;
  }
  std::vector<std::string> lines;
  std::vector<std::string> err_lines;
};

std::vector<std::string> sh(const std::string& script, std::vector<std::string> args = {}) {
  std::vector<std::string> argv = {"/bin/sh", "-c", script, "sh"};
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

// A clock that moves half a second at every reading once `running` says so:
// time limits, grace periods and the wait for the pipes pass in
// milliseconds.
std::function<double()> fast_clock(std::function<bool()> running = [] { return true; }) {
  auto t = std::make_shared<double>(0);
  return [t, running] { return running() ? *t += 0.5 : *t; };
}

ACE_Process_Options default_options() { return ACE_Process_Options(true, 1024, 16384, 512, 128); }

}  // namespace

TEST(Process_Runner, DeliversEveryLineWithStderrMergedAndTheLastLineWithoutNewline) {
  Collecting_Handler h;
  ACE_Process_Options o = default_options();
  int rc = h.call(ACE_Process_Ex::REDIRECT_STDOUT_STDERR, sh("echo one; echo two >&2; echo; printf 'three'"), o);
  EXPECT_EQ(0, rc);
  EXPECT_EQ((std::vector<std::string>{"one", "two", "", "three"}), h.lines);
}

TEST(Process_Runner, SeparateStderrGoesToTheStderrHandler) {
  Collecting_Handler h;
  ACE_Process_Options o = default_options();
  EXPECT_EQ(0,
            h.call(ACE_Process_Ex::REDIRECT_STDOUT | ACE_Process_Ex::REDIRECT_STDERR, sh("echo out; echo err >&2"), o));
  EXPECT_EQ(std::vector<std::string>{"out"}, h.lines);
  EXPECT_EQ(std::vector<std::string>{"err"}, h.err_lines);
}

TEST(Process_Runner, ReportsExitCodesSignalsAndMissingPrograms) {
  Collecting_Handler h;
  ACE_Process_Options o1 = default_options();
  EXPECT_EQ(3, h.call(ACE_Process_Ex::REDIRECT_STDOUT_STDERR, sh("echo x; exit 3"), o1));
  ACE_Process_Options o2 = default_options();
  EXPECT_EQ(128 + 9, h.call(ACE_Process_Ex::REDIRECT_STDOUT_STDERR, sh("kill -9 $$"), o2));
  ACE_Process_Options o3 = default_options();
  EXPECT_EQ(127, h.call(ACE_Process_Ex::REDIRECT_STDOUT_STDERR, {"/nonexistent/program"}, o3));
}

TEST(Process_Runner, HandsArgumentsOverWholeWhateverTheirLengthOrQuotes) {
  Collecting_Handler h;
  const std::string long_arg(5000, 'x');
  const std::vector<std::string> args = {"a b", "\"quoted\"", "it's", "", long_arg + " end"};
  ACE_Process_Options o = default_options();
  ASSERT_EQ(0, h.call(ACE_Process_Ex::REDIRECT_STDOUT_STDERR, sh("for a in \"$@\"; do echo \"[$a]\"; done", args), o));
  ASSERT_EQ(args.size(), h.lines.size());
  for (size_t i = 0; i < args.size(); ++i) EXPECT_EQ("[" + args[i] + "]", h.lines[i]);
}

TEST(Process_Runner, ChildInheritsNoOpenHandles) {
  // Deliberately without close-on-exec, and above what ls opens itself.
  int opened = ::open("/dev/null", O_RDONLY);
  ASSERT_GE(opened, 0);
  int leaked = ::fcntl(opened, F_DUPFD, 50);
  ::close(opened);
  ASSERT_GE(leaked, 50);
  Collecting_Handler h;
  ACE_Process_Options o = default_options();
  o.handle_inheritance(false);
  // ls opens the directory itself, as one more descriptor above 2.
  EXPECT_EQ(0, h.call(ACE_Process_Ex::REDIRECT_STDOUT_STDERR, {"/bin/ls", "/proc/self/fd"}, o));
  ::close(leaked);
  std::vector<std::string> fds(h.lines);
  EXPECT_LE(fds.size(), 4u) << ::testing::PrintToString(fds);
  EXPECT_EQ(fds.end(), std::find(fds.begin(), fds.end(), std::to_string(leaked)));
}

TEST(Process_Runner, SetsEnvironmentOverInheritedOne) {
  ::setenv("PROCESS_RUNNER_TEST_VAR", "inherited", 1);
  ::setenv("LD_LIBRARY_PATH", "/old", 1);
  Collecting_Handler h;
  ACE_Process_Options o = default_options();
  o.setenv(ACE_TEXT("LD_LIBRARY_PATH"), ACE_TEXT("%s"), "/usr/sap/X/exe");
  EXPECT_EQ(
      0,
      h.call(ACE_Process_Ex::REDIRECT_STDOUT_STDERR,
             sh("echo \"$PROCESS_RUNNER_TEST_VAR\"; env | grep -c '^LD_LIBRARY_PATH='; echo \"$LD_LIBRARY_PATH\""), o));
  ::unsetenv("PROCESS_RUNNER_TEST_VAR");
  ::unsetenv("LD_LIBRARY_PATH");
  EXPECT_EQ((std::vector<std::string>{"inherited", "1", "/usr/sap/X/exe"}), h.lines);
}

TEST(Process_Runner, EndsAChildThatOutlivesTheTimeLimitEvenIfItIgnoresTerm) {
  Log_Capture log;
  Collecting_Handler h;  // grace period of 1 second before SIGKILL
  h.time_limit(1);
  // Time starts once the child has set its trap and said so.
  h.clock(fast_clock([&h] { return !h.lines.empty(); }));
  ACE_Process_Options o = default_options();
  auto start = std::chrono::steady_clock::now();
  int rc =
      h.call(ACE_Process_Ex::REDIRECT_STDOUT_STDERR, sh("trap '' TERM; echo started; sleep 30 & wait; sleep 30"), o);
  double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_NE(0, rc);
  EXPECT_LT(took, 15.0);
  EXPECT_EQ(std::vector<std::string>{"started"}, h.lines);
  EXPECT_NE(std::string::npos, log.text().find("did not end within 1 second(s), terminating it"));
}

TEST(Process_Runner, ChildReapedByAnotherHandlerEndsTheRunAsFailed) {
  // A host process that reaps every child from its SIGCHLD handler.
  struct sigaction reaper {
  }, old{};
  reaper.sa_handler = [](int) {
    while (::waitpid(-1, nullptr, WNOHANG) > 0) {
    }
  };
  sigemptyset(&reaper.sa_mask);
  reaper.sa_flags = SA_RESTART;
  ASSERT_EQ(0, ::sigaction(SIGCHLD, &reaper, &old));
  Collecting_Handler h;
  h.time_limit(20);
  ACE_Process_Options o = default_options();
  auto start = std::chrono::steady_clock::now();
  int rc = h.call(ACE_Process_Ex::REDIRECT_STDOUT_STDERR, sh("exec 1>&- 2>&-; sleep 0.3"), o);
  double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ::sigaction(SIGCHLD, &old, nullptr);
  // -1 (status lost) unless the runner happened to reap the child first.
  EXPECT_TRUE(rc == -1 || rc == 0) << rc;
  EXPECT_LT(took, 10.0);
}

TEST(Process_Runner, RoutesLogMessagesToTheProcessLogCallback) {
  struct Callback : ACE_Log_Msg_Callback {
    void log(ACE_Log_Record& record) override { messages += record.msg_data(); }
    std::string messages;
  };
  auto callback = std::make_shared<Callback>();
  Log_Capture log;
  Collecting_Handler h;
  h.time_limit(1);
  h.clock(fast_clock());
  ACE_Process_Options o = default_options();
  h.call(ACE_Process_Ex::REDIRECT_STDOUT_STDERR, sh("sleep 20"), o, callback);
  EXPECT_NE(std::string::npos, callback->messages.find("terminating it"));
  // After the run the thread's routing is back as it was.
  ACE_ERROR((LM_ERROR, ACE_TEXT("after the run\n")));
  EXPECT_EQ(std::string::npos, callback->messages.find("after the run"));
}

TEST(Process_Runner, SubprocessCallReportsSuccessAndFailure) {
  ACE_Process_Options ok = default_options();
  EXPECT_EQ(0, subprocess::call({"/bin/true"}, ok));
  ACE_Process_Options bad = default_options();
  EXPECT_EQ(1, subprocess::call({"/bin/false"}, bad));
  ACE_Process_Options fixed = default_options();
  fixed.command_line(ACE_TEXT("/bin/sh -c 'exit 4'"));
  EXPECT_EQ(4, subprocess::call(fixed));
}

TEST(Process_Runner, SwitchesRealAndEffectiveUserWhenRoot) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root";
  Collecting_Handler h;
  ACE_Process_Options o = default_options();
  ASSERT_EQ(0, o.setreugid("nobody"));
  ASSERT_EQ(0, h.call(ACE_Process_Ex::REDIRECT_STDOUT_STDERR, {"/usr/bin/id", "-ru"}, o));
  ASSERT_EQ(1u, h.lines.size());
  EXPECT_NE("0", h.lines[0]);
  Collecting_Handler g;
  ACE_Process_Options o2 = default_options();
  ASSERT_EQ(0, o2.setreugid("nobody"));
  ASSERT_EQ(0, g.call(ACE_Process_Ex::REDIRECT_STDOUT_STDERR, {"/usr/bin/id", "-G"}, o2));
  ASSERT_EQ(1u, g.lines.size());
  EXPECT_EQ(std::string::npos, (" " + g.lines[0] + " ").find(" 0 ")) << "root's groups were kept";
}

TEST(Port_Listening, TrueExactlyWhileAListenerIsBound) {
  int s = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(s, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(0, ::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
  socklen_t len = sizeof addr;
  ASSERT_EQ(0, ::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len));
  unsigned short port = ntohs(addr.sin_port);
  EXPECT_FALSE(check_port_listening(port)) << "bound but not listening";
  ASSERT_EQ(0, ::listen(s, 1));
  EXPECT_TRUE(check_port_listening(port));
  ::close(s);
  EXPECT_FALSE(check_port_listening(port));
  EXPECT_FALSE(check_port_listening(0));
}

TEST(Port_Listening, SeesIpv6Listeners) {
  int s = ::socket(AF_INET6, SOCK_STREAM, 0);
  if (s < 0) GTEST_SKIP() << "no IPv6";
  sockaddr_in6 addr{};
  addr.sin6_family = AF_INET6;
  addr.sin6_addr = in6addr_loopback;
  if (::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(s);
    GTEST_SKIP() << "no IPv6 loopback";
  }
  socklen_t len = sizeof addr;
  ASSERT_EQ(0, ::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len));
  ASSERT_EQ(0, ::listen(s, 1));
  EXPECT_TRUE(check_port_listening(ntohs(addr.sin6_port)));
  ::close(s);
}

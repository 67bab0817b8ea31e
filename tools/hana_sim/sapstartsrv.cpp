// Stand-in for an instance's start service in the test sandbox. It only has
// to exist: the system under test finds it by its command line and reads its
// environment. It ignores its arguments, ends on SIGTERM, and ends by itself
// once the file named by HANA_SIM_WATCH is gone (the sandbox has ended), so
// that no process outlives the test that started it.
#include <signal.h>
#include <unistd.h>

#include <cstdlib>

namespace {
volatile sig_atomic_t stop_requested = 0;
void on_signal(int) { stop_requested = 1; }
}  // namespace

int main() {
  struct sigaction action {};
  action.sa_handler = on_signal;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);
  const char* watch = std::getenv("HANA_SIM_WATCH");
  while (!stop_requested) {
    if (watch != nullptr && *watch != '\0' && access(watch, F_OK) != 0) break;
    usleep(200 * 1000);
  }
  return 0;
}

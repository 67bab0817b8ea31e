#ifndef AGENT_SCOPED_DELETER_H
#define AGENT_SCOPED_DELETER_H

#include <functional>
#include <utility>

/// Runs a clean-up when it goes out of scope, unless released first.
class Scoped_Deleter {
 public:
  explicit Scoped_Deleter(std::function<void()> cleanup) : cleanup_(std::move(cleanup)) {}
  ~Scoped_Deleter() {
    if (cleanup_) cleanup_();
  }
  Scoped_Deleter(const Scoped_Deleter&) = delete;
  Scoped_Deleter& operator=(const Scoped_Deleter&) = delete;
  /// The clean-up will not run.
  void release() { cleanup_ = nullptr; }

 private:
  std::function<void()> cleanup_;
};

#endif

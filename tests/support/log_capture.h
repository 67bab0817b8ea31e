#ifndef TESTS_LOG_CAPTURE_H
#define TESTS_LOG_CAPTURE_H

#include <ace/Log_Msg.h>

#include <sstream>
#include <string>

/// Captures what this thread logs through ACE while it lives, instead of
/// letting it reach standard error.
class Log_Capture {
 public:
  Log_Capture() {
    ACE_Log_Msg* log = ACE_LOG_MSG;
    old_stream_ = log->msg_ostream();
    old_flags_ = log->flags();
    log->msg_ostream(&stream_, false);
    log->clr_flags(ACE_Log_Msg::STDERR | ACE_Log_Msg::LOGGER | ACE_Log_Msg::SYSLOG);
    log->set_flags(ACE_Log_Msg::OSTREAM);
  }
  ~Log_Capture() {
    ACE_Log_Msg* log = ACE_LOG_MSG;
    log->msg_ostream(old_stream_, false);
    log->clr_flags(ACE_Log_Msg::OSTREAM);
    log->set_flags(old_flags_);
  }
  Log_Capture(const Log_Capture&) = delete;
  Log_Capture& operator=(const Log_Capture&) = delete;

  std::string text() const { return stream_.str(); }
  void clear() { stream_.str(""); }

 private:
  std::ostringstream stream_;
  ACE_OSTREAM_TYPE* old_stream_ = nullptr;
  unsigned long old_flags_ = 0;
};

#endif

#ifndef TESTS_LOG_CAPTURE_H
#define TESTS_LOG_CAPTURE_H

#include <ace/Log_Msg.h>
#include <ace/Log_Msg_Callback.h>
#include <ace/Log_Priority.h>
#include <ace/Log_Record.h>

#include <string>
#include <vector>

/// Collects every ACE log line of the calling thread while it lives,
/// instead of letting it reach standard error, so tests can assert the
/// exact texts: line by line with their priorities, or as one text.
class Log_Capture : public ACE_Log_Msg_Callback {
 public:
  Log_Capture() {
    ACE_Log_Msg* log = ACE_Log_Msg::instance();
    old_flags_ = log->flags();
    old_callback_ = log->msg_callback(this);
    log->clr_flags(ACE_Log_Msg::STDERR | ACE_Log_Msg::LOGGER | ACE_Log_Msg::SYSLOG | ACE_Log_Msg::OSTREAM);
    log->set_flags(ACE_Log_Msg::MSG_CALLBACK);
  }
  ~Log_Capture() override {
    ACE_Log_Msg* log = ACE_Log_Msg::instance();
    log->msg_callback(old_callback_);
    log->clr_flags(ACE_Log_Msg::MSG_CALLBACK);
    log->set_flags(old_flags_);
  }
  Log_Capture(const Log_Capture&) = delete;
  Log_Capture& operator=(const Log_Capture&) = delete;

  void log(ACE_Log_Record& record) override {
    lines_.push_back(record.msg_data());
    priorities_.push_back(static_cast<ACE_Log_Priority>(record.type()));
  }

  const std::vector<std::string>& lines() const { return lines_; }
  const std::vector<ACE_Log_Priority>& priorities() const { return priorities_; }
  /// Every line, in order, as one text.
  std::string text() const {
    std::string all;
    for (const std::string& line : lines_) all += line;
    return all;
  }
  void clear() {
    lines_.clear();
    priorities_.clear();
  }

 private:
  unsigned long old_flags_ = 0;
  ACE_Log_Msg_Callback* old_callback_ = nullptr;
  std::vector<std::string> lines_;
  std::vector<ACE_Log_Priority> priorities_;
};

#endif

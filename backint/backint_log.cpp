#include "backint/backint_log.h"

#include <ace/Get_Opt.h>
#include <ace/Log_Msg.h>
#include <ace/Service_Config.h>
#include <ace/Svc_Conf_Token_Table.h>
#include <ext/stdio_filebuf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/regex.hpp>
#include <cerrno>
#include <cstring>
#include <iostream>

namespace sap_hana {

namespace {

std::string& system_id() {
  static std::string sid;
  return sid;
}

void destroy(void* object) { delete static_cast<ACE_Service_Object*>(object); }

extern "C" ACE_Service_Object* make_backint_log(ACE_Service_Object_Exterminator* gobbler) {
  if (gobbler != nullptr) *gobbler = &destroy;
  return new Backint_Log;
}

ACE_Static_Svc_Descriptor descriptor = {ACE_TEXT("Backint_Log"), ACE_SVC_OBJ_T, &make_backint_log,
                                        ACE_Service_Type::DELETE_THIS | ACE_Service_Type::DELETE_OBJ, 0};

// Before the service runs, ACE's log may still be the process's standard
// error or a file this service does not own; these lines go to stderr.
int refuse(const std::string& text) {
  std::cerr << text << std::flush;
  return -1;
}

}  // namespace

void Backint_Log::register_static_service() {
  static bool registered = false;
  if (registered) return;
  registered = true;
  ACE_Service_Config::static_svcs()->insert(&descriptor);
}

void Backint_Log::set_system(const std::string& sid) { system_id() = sid; }

std::string Backint_Log::file_name(const std::string& directory, const std::string& sid, unsigned uid) {
  static const boost::regex pattern("[A-Z0-9]{1,16}");
  if (boost::regex_match(sid, pattern)) return directory + "/hana-backint-" + sid + ".log";
  return directory + "/hana-backint-uid" + std::to_string(uid) + ".log";
}

Backint_Log::Backint_Log() = default;

Backint_Log::~Backint_Log() { fini(); }

int Backint_Log::init(int argc, ACE_TCHAR* argv[]) {
  std::string directory;
  ACE_Get_Opt get_opt(argc, argv, ACE_TEXT("d:"), 0);
  for (int c; (c = get_opt()) != EOF;) {
    if (c == 'd') directory = get_opt.opt_arg();
  }
  if (directory.empty()) return refuse("Backint_Log: no log directory (-d) given\n");
  std::string path = file_name(directory, system_id(), ::geteuid());

  // O_NOFOLLOW: a link planted under the name would make this run append
  // to whatever file the link names. O_NONBLOCK: a pipe must not hang it.
  int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0640);
  if (fd < 0) return refuse("Failed to open the log file " + path + ": " + std::strerror(errno) + "\n");
  struct stat st {};
  const char* wrong = nullptr;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
    wrong = "is not a regular file";
  else if (st.st_uid != ::geteuid())
    wrong = "belongs to another user";
  else if (st.st_nlink != 1)
    wrong = "has more than one name";
  if (wrong != nullptr) {
    ::close(fd);
    return refuse("Failed to open the log file " + path + ": it " + wrong + "\n");
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);

  fini();
  fd_ = fd;
  buffer_.reset(new __gnu_cxx::stdio_filebuf<char>(fd_, std::ios::out | std::ios::app));
  stream_.reset(new std::ostream(buffer_.get()));
  ACE_Log_Msg* log = ACE_LOG_MSG;
  previous_stream_ = log->msg_ostream();
  previous_flags_ = log->flags();
  log->msg_ostream(stream_.get(), false);
  log->clr_flags(ACE_Log_Msg::STDERR);
  log->set_flags(ACE_Log_Msg::OSTREAM);
  return 0;
}

int Backint_Log::fini() {
  if (!stream_) return 0;
  ACE_Log_Msg* log = ACE_LOG_MSG;
  if (log->msg_ostream() == stream_.get()) {
    log->msg_ostream(previous_stream_, false);
    log->clr_flags(log->flags());
    log->set_flags(previous_flags_);
  }
  stream_->flush();
  stream_.reset();
  buffer_.reset();  // closes the descriptor
  fd_ = -1;
  return 0;
}

}  // namespace sap_hana

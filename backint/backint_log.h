#ifndef SAP_HANA_BACKINT_LOG_H
#define SAP_HANA_BACKINT_LOG_H

#include <ace/Service_Object.h>

#include <memory>
#include <ostream>
#include <streambuf>
#include <string>

namespace sap_hana {

/// hana-backint's log file, one per system: "hana-backint-<SID>.log" in the
/// directory that the service configuration names (file_name()):
///
///     static Backint_Log "-d /var/opt/corvane/strovix3/agent/log"
///
/// Every system's <sid>adm writes into one directory of group sapsys, so
/// the file is opened for appending without following a link (O_NOFOLLOW),
/// created with mode 0640, and used only when it is a regular file with a
/// single name that belongs to the process's user; anything else fails the
/// service's initialisation (and so the start-up) with a line on standard
/// error. The directory should carry the sticky bit, so that no system can
/// remove or replace another's file. Once initialised, ACE's log goes to
/// the file only; fini() restores the previous log output.
class Backint_Log : public ACE_Service_Object {
 public:
  /// Registers the service with ACE's static services, once per process;
  /// call before ACE_Service_Config::open.
  static void register_static_service();
  /// The system (SID) whose file the service opens. Set before the service
  /// configuration is loaded.
  static void set_system(const std::string& sid);
  /// The file's name in `directory`: "hana-backint-<sid>.log" when `sid` is
  /// one to sixteen capital letters and digits, else (a user id HANA would
  /// not send) "hana-backint-uid<uid>.log" for the process's user `uid`.
  static std::string file_name(const std::string& directory, const std::string& sid, unsigned uid);

  Backint_Log();
  ~Backint_Log() override;

  /// argv: "-d <directory>". -1 (and a line on standard error) when no
  /// directory is given or the file cannot be used.
  int init(int argc, ACE_TCHAR* argv[]) override;
  int fini() override;

 private:
  int fd_ = -1;
  std::unique_ptr<std::streambuf> buffer_;
  std::unique_ptr<std::ostream> stream_;
  std::ostream* previous_stream_ = nullptr;
  unsigned long previous_flags_ = 0;
};

}  // namespace sap_hana

#endif

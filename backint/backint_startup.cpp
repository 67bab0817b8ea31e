#include "backint/backint_startup.h"

#include <ace/Get_Opt.h>
#include <ace/Log_Msg.h>
#include <ace/Service_Config.h>

#include <boost/algorithm/string/case_conv.hpp>

#include "agent/crypto/aes_decoder.h"
#include "agent/config/backupd_address.h"
#include "agent/base/file_utils.h"
#include "agent/config/host_manager.h"
#include "agent/json/json_file.h"
#include "agent/base/natoi.h"
#include "backint/backint_log.h"
#include "backint/handler_factory.h"
#include "common/utils.h"

namespace sap_hana {

void Backint_Startup::print_usage(std::ostream& out) {
  out << "backint\n"
      << "\t -u <user_id>\n"
      << "\t[ -f <function> ]\n"
      << "\t[ -p <par_file> ]\n"
      << "\t[ -i <in_file> ]\n"
      << "\t[ -o <out_file> ]\n"
      << "\t[ -s <database_backup_id> ]\n"
      << "\t[ -c <number_of_objects> ]\n"
      << "\t[ -l <backup_level> ]\n"
      << "\t[ --svc-conf <svc.conf> ]\n"
      << "\t-v\n"
      << "\t-V\n"
      << "\t-h\n"
      << "\n";
  out.flush();
}

Backint_Startup::Parse_Result Backint_Startup::parse_options(int argc, char* argv[], Backint_Info& info,
                                                             std::string& svc_conf, std::ostream& out) {
  ACE_Get_Opt get_opt(argc, argv, "u:f:p:i:o:s:c:l:vVh", 1, 0, ACE_Get_Opt::PERMUTE_ARGS, 0);
  get_opt.long_option("svc-conf", ACE_Get_Opt::ARG_REQUIRED);
  for (int c; (c = get_opt()) != EOF;) {
    const char* arg = get_opt.opt_arg();
    switch (c) {
      case 'u':
        info.user_id = arg;
        break;
      case 'f':
        info.function = function_key_to_value(arg);
        break;
      case 'p':
        info.par_file = arg;
        break;
      case 'i':
        info.in_file = arg;
        break;
      case 'o':
        info.out_file = arg;
        break;
      case 's':
        info.database_backup_id = natoi<ACE_UINT64>(arg);
        break;
      case 'c':
        info.objects_amount = natoi<ACE_INT32>(arg);
        break;
      case 'l':
        info.level = level_key_to_value(boost::algorithm::to_lower_copy(std::string(arg)).c_str());
        break;
      case 'v':
        out << "backint " << kApiVersion << "\n";
        out.flush();
        return PARSE_EXIT;
      case 'V':
        out << "Corvane Corporation"
            << " "
            << "Strovix3"
            << " backint, API version " << kApiVersion << ", product version "
            << "\n";
        out.flush();
        return PARSE_EXIT;
      case 'h':
        print_usage(out);
        return PARSE_EXIT;
      case 0:
        // The only long option.
        svc_conf = arg ? arg : "";
        break;
      default:
        ACE_ERROR((LM_ERROR, "Unknown backint option %c\n", c));
        break;
    }
  }
  return PARSE_CONTINUE;
}

bool Backint_Startup::read_access_key_file(const std::string& path, Backint_Info& info) {
  json_value file;
  if (!is_regular_file(path.c_str()) || !load_json(path, file) || !file.is_object()) return false;
  // Each member on its own: one of the wrong kind is logged and keeps its
  // default, and does not cost the members after it.
  auto read = [&](const char* name, auto& target) -> bool {
    try {
      return object_get(file, name, target);
    } catch (const Json_Member_Error& e) {
      ACE_ERROR((LM_ERROR, "Failed to read '%s', %s\n", path.c_str(), e.what()));
      return false;
    }
  };
  read("backupd_host", info.backupd_host);
  read("backupd_port", info.backupd_port);
  read("backupd_ssl", info.backupd_ssl);
  std::string encoded;
  if (read("encoded_access_key", encoded)) {
    const std::string uuid = Host_Manager::instance()->uuid();
    AES_Decoder decoder(encoded.data(), encoded.size(), uuid.data(), uuid.size(), true, "cbc", -1);
    if (decoder)
      info.backupd_access_key.assign(decoder.get(), decoder.length());
    else
      ACE_ERROR((LM_ERROR, "Failed to decode the access key of '%s'\n", path.c_str()));
  }
  return true;
}

bool Backint_Startup::load_services(const std::string& svc_conf) {
  std::string file = svc_conf;
  if (file.empty()) {
    file = kDefaultSvcConf;
  } else if (!is_regular_file(file.c_str())) {
    ACE_ERROR((LM_ERROR, "svc.conf file %s not found.\n", file.c_str()));
    return false;
  }
  Backint_Log::register_static_service();
  char arg0[] = "dummy";
  char arg1[] = "-f";
  char* argv[] = {arg0, arg1, &file[0], nullptr};
  if (ACE_Service_Config::open(3, argv, ACE_TEXT("localhost:20012"), false, true, true) != 0) {
    ACE_ERROR((LM_ERROR, "Failed to load services through reading %s: %m.\n", file.c_str()));
    return false;
  }
  return true;
}

int Backint_Startup::run(int argc, char* argv[], std::ostream& out) {
  Backint_Info info;
  std::string svc_conf;
  if (parse_options(argc, argv, info, svc_conf, out) == PARSE_EXIT) return 0;

  if (info.user_id.empty()) {
    print_usage(out);
    ACE_ERROR((LM_ERROR, "Failed to get user id\n"));
    return 1;
  }

  if (!read_access_key_file(access_key_file(), info)) {
    get_backupd_address(info.backupd_host, info.backupd_port, info.backupd_ssl, info.backupd_access_key, "agent");
  }
  if (info.backupd_host.empty() || info.backupd_access_key.empty()) {
    ACE_ERROR((LM_ERROR, "Failed to get backupd host info from config file\n"));
    return 1;
  }

  // The log file of the service configuration is the system's own.
  const std::string::size_type at = info.user_id.find('@');
  Backint_Log::set_system(at == std::string::npos ? info.user_id : info.user_id.substr(at + 1));
  if (!load_services(svc_conf)) {
    ACE_ERROR((LM_ERROR, "Failed to load services\n"));
    return 1;
  }

  bool ok = false;
  if (std::unique_ptr<Backint_Handler> handler = Backint_Handler_Factory::create(info)) ok = handler->execute();
  ACE_Service_Config::close();
  return ok ? 0 : 1;
}

}  // namespace sap_hana

#ifndef TESTS_BACKUPD_FIXTURE_H
#define TESTS_BACKUPD_FIXTURE_H

// Runs the development backupd (tools/backupd/backupd) for a C++ test.
//
//   Backupd_Server srv;                       // nothing runs yet
//   ASSERT_TRUE(srv.start());                 // free port, temp dir, host
//                                             // srv.host_uuid()/access_key()
//   JSON_HTTP_Session s = srv.json_session(); // key already on its headers
//   srv.fault(3, 503, "/d2/r/hana/backint/job");
//   ... code under test ...
//   json_value reqs = srv.requests();         // [{method, path, query,...}]
//
// Or derive the test fixture from Backupd_Test, which starts one server per
// test (and sets STROVIX3_BACKOFF_SCALE=0.001 so retries do not sleep).
// Options::agent_conf_dir makes the server write agent.conf and access_key
// there (the sandboxed tests point it at /etc/opt/corvane/strovix3/agent).
// The server is stopped (SIGTERM) and its directory removed on destruction.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "agent/http/http_query.h"
#include "agent/http/http_session_factory.h"
#include "agent/http/json_http_session.h"
#include "temp_dir.h"

extern char** environ;

struct Backupd_Server_Options {
  std::string host_uuid = "0a1b2c3d-0000-4000-8000-00000000a001";
  std::string access_key = "test-access-key-a001";
  std::string ssl_cert;  ///< PEM; with ssl_key: HTTPS
  std::string ssl_key;
  std::string ca_file;         ///< written to agent.conf (default: ssl_cert)
  std::string agent_conf_dir;  ///< write agent.conf and access_key here
};

class Backupd_Server {
 public:
  using Options = Backupd_Server_Options;

  Backupd_Server() = default;
  ~Backupd_Server() { stop(); }
  Backupd_Server(const Backupd_Server&) = delete;
  Backupd_Server& operator=(const Backupd_Server&) = delete;

  /// Starts the server and waits (up to 10 s) until it listens.
  bool start(const Options& options = Options()) {
    stop();
    options_ = options;
    dir_.reset(new Temp_Dir());
    const std::string program = std::string(HANA_SOURCE_DIR) + "/tools/backupd/backupd";
    const std::string port_file = dir_->file("port");
    std::vector<std::string> args = {program,
                                     "--db",
                                     dir_->file("backupd.sqlite"),
                                     "--port",
                                     "0",
                                     "--port-file",
                                     port_file,
                                     "--host-uuid",
                                     options.host_uuid,
                                     "--access-key",
                                     options.access_key};
    if (!options.ssl_cert.empty()) {
      args.insert(args.end(), {"--ssl-cert", options.ssl_cert, "--ssl-key", options.ssl_key});
      if (!options.ca_file.empty()) args.insert(args.end(), {"--ca-file", options.ca_file});
    }
    if (!options.agent_conf_dir.empty()) args.insert(args.end(), {"--agent-conf-dir", options.agent_conf_dir});
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    if (::posix_spawn(&pid_, program.c_str(), nullptr, nullptr, argv.data(), environ) != 0) {
      pid_ = -1;
      return false;
    }
    for (int i = 0; i < 1000; ++i) {
      std::ifstream in(port_file);
      unsigned port = 0;
      if (in >> port && port != 0) {
        port_ = static_cast<std::uint16_t>(port);
        return true;
      }
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return false;
      }
      struct timespec ts = {0, 10 * 1000 * 1000};
      ::nanosleep(&ts, nullptr);
    }
    stop();
    return false;
  }

  /// SIGTERM and wait; true when the server exited with status 0.
  bool stop() {
    bool clean = true;
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      int status = 0;
      ::waitpid(pid_, &status, 0);
      clean = WIFEXITED(status) && WEXITSTATUS(status) == 0;
      pid_ = -1;
    }
    port_ = 0;
    dir_.reset();
    return clean;
  }

  bool running() const { return pid_ > 0; }
  std::uint16_t port() const { return port_; }
  bool ssl() const { return !options_.ssl_cert.empty(); }
  const std::string& host_uuid() const { return options_.host_uuid; }
  const std::string& access_key() const { return options_.access_key; }
  /// The server's private directory (database, port file).
  std::string dir() const { return dir_ ? dir_->path() : std::string(); }

  /// A new session to the server (HTTPS verified with the CA file when the
  /// server runs SSL), with the access key on its headers unless `key` is
  /// given (an empty `key` puts none).
  HTTP_Session_Ptr session(const std::string* key = nullptr) const {
    HTTP_SSL_Context ctx;
    ctx.ca_file = options_.ca_file.empty() ? options_.ssl_cert : options_.ca_file;
    HTTP_Session_Ptr s =
        HTTP_Session_Factory::create("127.0.0.1", port_, ssl(), "backupd", 3, &ctx, false, 10, 30, 30, 0);
    const std::string& k = key ? *key : options_.access_key;
    if (s && !k.empty()) s->headers().put(HTTP_HEAD_X_ACCESS_KEY, k, true);
    return s;
  }
  JSON_HTTP_Session json_session(const std::string* key = nullptr) const {
    return JSON_HTTP_Session(session(key), 5, 300);
  }

  /// One admin call; the HTTP status (0 on transport failure).
  int admin(HTTP_Method method, const std::string& path, const json_value* body, json_value& result) const {
    std::string none;
    JSON_HTTP_Session s = json_session(&none);
    HTTP_Request req(method, "/admin/" + path, false);
    auto q = path.find('?');
    if (q != std::string::npos) {
      req.uri("/admin/" + path.substr(0, q));
      req.query_string(path.substr(q + 1));
    }
    CGI_Response response;
    bool ok = false;
    if (method == HTTP_POST)
      ok = s.post(req, body ? *body : json_value::object(), response, result);
    else if (method == HTTP_DELETE)
      ok = s.delete_(req, response, result);
    else
      ok = s.get(req, response, result);
    return ok ? response.status() : 0;
  }
  bool admin_post(const std::string& path, const json_value& body) const {
    json_value result;
    return admin(HTTP_POST, path, &body, result) == 200;
  }

  bool add_host(const std::string& uuid, const std::string& key) const {
    return admin_post("hosts", json_value{{"host_uuid", uuid}, {"access_key", key}});
  }
  bool add_pool(const json_value& pool) const { return admin_post("pools", pool); }
  bool add_resource(const std::string& uuid, const json_value& record) const {
    return admin_post("resources", json_value{{"uuid", uuid}, {"record", record}});
  }
  bool add_set_rows(const json_value& rows, const std::string& module = "hana",
                    const std::string& view = "backupfile") const {
    return admin_post("sets", json_value{{"rows", rows}, {"module", module}, {"view", view}});
  }

  /// Seeds a backint job (record members as JSON) for the server's host
  /// (or `host_uuid`), as if the host had posted it.
  bool add_job(const json_value& job, const std::string& host_uuid = "") const {
    return admin_post("jobs",
                      json_value{{"host_uuid", host_uuid.empty() ? options_.host_uuid : host_uuid}, {"job", job}});
  }
  /// Seeds backint file records of a seeded job ("extern_backup_id" each).
  bool add_files(const std::string& job_uuid, const json_value& files, const std::string& host_uuid = "") const {
    return admin_post("files", json_value{{"host_uuid", host_uuid.empty() ? options_.host_uuid : host_uuid},
                                          {"job_uuid", job_uuid},
                                          {"files", files}});
  }

  /// The next `count` requests whose path starts with `prefix` (all when
  /// empty) get `status`; `drop` "" (none), "true" (answer cut short) or
  /// "silent" (closed without a byte); `delay` seconds first.
  bool fault(int count, int status, const std::string& prefix = "", const std::string& drop = "",
             double delay = 0) const {
    json_value f{{"count", count}};
    if (status) f["status"] = status;
    if (!prefix.empty()) f["prefix"] = prefix;
    if (drop == "silent")
      f["drop"] = "silent";
    else if (!drop.empty())
      f["drop"] = true;
    if (delay > 0) f["delay"] = delay;
    return admin_post("faults", f);
  }

  /// The next `count` requests under `prefix` are answered with `status`
  /// and the text `raw` (Content-Type text/plain).
  bool fault_raw(int count, int status, const std::string& raw, const std::string& prefix = "") const {
    json_value f{{"count", count}, {"status", status}, {"raw", raw}};
    if (!prefix.empty()) f["prefix"] = prefix;
    return admin_post("faults", f);
  }

  /// Every non-admin request received, in order (see tools/backupd/README.md).
  json_value requests() const { return admin_rows("requests", "requests"); }
  void clear_requests() const {
    json_value r;
    admin(HTTP_DELETE, "requests", nullptr, r);
  }
  json_value jobs() const { return admin_rows("jobs", "rows"); }
  json_value files() const { return admin_rows("files", "rows"); }
  json_value enqueues() const { return admin_rows("enqueues", "rows"); }

 private:
  json_value admin_rows(const std::string& path, const char* member) const {
    json_value r;
    if (admin(HTTP_GET, path, nullptr, r) != 200 || !r.is_object() || !r.contains(member)) return json_value::array();
    return r[member];
  }

  Options options_;
  std::unique_ptr<Temp_Dir> dir_;
  pid_t pid_ = -1;
  std::uint16_t port_ = 0;
};

/// One running development backupd per test; retries do not really sleep.
class Backupd_Test : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("STROVIX3_BACKOFF_SCALE", "0.001", 1);
    ASSERT_TRUE(server_.start(server_options())) << "development backupd did not start";
  }
  void TearDown() override { EXPECT_TRUE(server_.stop()) << "development backupd did not stop cleanly"; }
  /// Override to start the server differently (SSL, agent_conf_dir).
  virtual Backupd_Server::Options server_options() { return Backupd_Server::Options(); }

  Backupd_Server server_;
};

#endif

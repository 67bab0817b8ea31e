#ifndef AGENT_JSON_RPC_ENDPOINT_H
#define AGENT_JSON_RPC_ENDPOINT_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "agent/daemon/agent_settings.h"
#include "agent/daemon/service_repository.h"

struct MHD_Daemon;
struct MHD_Connection;

/// The agent's JSON-RPC 2.0 endpoint: POST /jsonrpc over HTTP, or HTTPS
/// with the certificate and key of the settings (always off loopback)
/// (libmicrohttpd).
///
/// Connections: kPollThreads threads poll all connections (a connection
/// costs no thread of its own); each request whose body has arrived is
/// served on a thread of its own while its connection waits suspended, so
/// a slow handler holds only its own connection. Clients that send slowly
/// cannot starve the others: at most kMaxConnections connections and
/// kMaxConnectionsPerAddress from one address, and a connection whose
/// request head is not complete kHeadSeconds after it opened (or after its
/// previous request ended), or whose body is not complete kBodySeconds
/// after its head, is closed whatever it still trickles.
///
/// Every request must carry the agent's endpoint key in "X-Access-Key"
/// (compared in constant time); otherwise it is answered 401 before its body
/// is read and nothing runs. Other paths answer 404, other methods 405,
/// bodies above kMaxBody 413.
///
/// The body is one JSON-RPC object (batches are not served): -32700 for
/// text that is not JSON, -32600 for JSON that is not a JSON-RPC 2.0
/// request or notification, -32601 for a method no service is routed for,
/// -32602 when the handler's params check fails. Otherwise the handler's
/// handle() runs on the connection's thread (a thread handler only queues
/// it) and the connection waits for the answer at most the request time
/// limit; a request left unanswered gets -32603 "Request not answered", one
/// over the limit -32603 "Request timed out". A notification is answered 204
/// at once. HTTP status 200 for every JSON-RPC answer.
class JSON_RPC_Endpoint {
 public:
  static constexpr std::size_t kMaxBody = 16u << 20;
  static constexpr unsigned kPollThreads = 4;
  static constexpr unsigned kMaxConnections = 512;
  static constexpr unsigned kMaxConnectionsPerAddress = 32;
  static constexpr unsigned kHeadSeconds = 10;
  static constexpr unsigned kBodySeconds = 60;

  JSON_RPC_Endpoint(const Agent_Settings& settings, const Service_Repository& services);
  ~JSON_RPC_Endpoint();  ///< stop()
  JSON_RPC_Endpoint(const JSON_RPC_Endpoint&) = delete;
  JSON_RPC_Endpoint& operator=(const JSON_RPC_Endpoint&) = delete;

  /// Listens; false with `error` (address in use, unreadable certificate).
  bool start(std::string& error);
  /// The port listened on (after start()).
  std::uint16_t port() const { return port_; }
  /// Makes waiting connections answer "Agent stopping" at once, waits for
  /// the requests being served, then closes the listener and its threads.
  /// Idempotent.
  void stop();

  /// Serves one request body; the JSON text of the answer, empty for a
  /// notification (no answer).
  std::string serve(const std::string& body);
  /// `presented` (may be null) is the endpoint key (never the access key
  /// that hana-backint also gets).
  bool key_matches(const char* presented) const;

 private:
  struct Hooks;
  struct Connection_State;
  void watch_deadlines();
  void run_request(MHD_Connection* connection, void* call);

  const Agent_Settings& settings_;
  const Service_Repository& services_;
  MHD_Daemon* daemon_ = nullptr;
  std::uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  std::string cert_pem_;
  std::string key_pem_;
  // Open connections (for their deadlines) and requests being served.
  std::mutex mutex_;
  std::condition_variable changed_;
  std::set<Connection_State*> connections_;
  unsigned running_ = 0;
  bool watching_ = false;
  std::thread watchdog_;
};

#endif

#include "agent/daemon/json_rpc_endpoint.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

#include <ace/Log_Msg.h>
#include <microhttpd.h>
#include <openssl/crypto.h>
#include <openssl/sha.h>

#include "agent/daemon/request_channel.h"
#include "agent/json/json_file.h"
#include "agent/jsonrpc/json_rpc_thread_handler.h"

namespace {

// One request on a connection: its body while it arrives, then its answer.
struct Call {
  std::string body;
  bool too_large = false;
  bool started = false;  // handed to a thread; the connection is suspended
  bool done = false;     // `reply` is ready
  std::string reply;
};

bool read_file(const std::string& path, std::string& text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream s;
  s << in.rdbuf();
  text = s.str();
  return static_cast<bool>(in) || in.eof();
}

MHD_Result answer(MHD_Connection* connection, unsigned status, const std::string& body) {
  MHD_Response* response =
      MHD_create_response_from_buffer(body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
  if (!response) return MHD_NO;
  if (!body.empty()) MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, "application/json");
  MHD_Result rc = MHD_queue_response(connection, status, response);
  MHD_destroy_response(response);
  return rc;
}

std::string error_text(int code, const json_value& id, const char* message) {
  return JSON_RPC_Object::error(code, id, message)->to_json().dump();
}

void log_mhd(void*, const char* format, va_list ap) {
  char text[512];
  vsnprintf(text, sizeof text, format, ap);
  std::size_t n = std::strlen(text);
  if (n && text[n - 1] == '\n') text[n - 1] = '\0';
  ACE_ERROR((LM_WARNING, ACE_TEXT("HTTP endpoint: %C\n"), text));
}

double now_seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace

// What the deadline watch knows of one open connection.
struct JSON_RPC_Endpoint::Connection_State {
  int fd = -1;
  double deadline = 0;  // 0: none (a request is being served)
  bool shut = false;
};

struct JSON_RPC_Endpoint::Hooks {
  static Connection_State* state_of(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    return info ? static_cast<Connection_State*>(info->socket_context) : nullptr;
  }

  static void deadline(JSON_RPC_Endpoint* self, MHD_Connection* connection, double seconds) {
    std::lock_guard<std::mutex> guard(self->mutex_);
    if (Connection_State* state = state_of(connection)) state->deadline = seconds ? now_seconds() + seconds : 0;
  }

  static void on_connection(void* self_ptr, MHD_Connection* connection, void** socket_context,
                            MHD_ConnectionNotificationCode code) {
    auto* self = static_cast<JSON_RPC_Endpoint*>(self_ptr);
    std::lock_guard<std::mutex> guard(self->mutex_);
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
      auto* state = new Connection_State;
      const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
      state->fd = info ? info->connect_fd : -1;
      state->deadline = now_seconds() + kHeadSeconds;
      self->connections_.insert(state);
      *socket_context = state;
    } else if (code == MHD_CONNECTION_NOTIFY_CLOSED) {
      // Called before the socket is closed: the watch never touches a
      // descriptor that belongs to someone else by then.
      auto* state = static_cast<Connection_State*>(*socket_context);
      self->connections_.erase(state);
      delete state;
      *socket_context = nullptr;
    }
  }

  static MHD_Result on_request(void* self_ptr, MHD_Connection* connection, const char* url, const char* method,
                               const char*, const char* upload_data, std::size_t* upload_data_size, void** state) {
    auto* self = static_cast<JSON_RPC_Endpoint*>(self_ptr);
    auto* call = static_cast<Call*>(*state);
    if (!call) {
      // First call: headers only. Refuse before reading a byte of the body.
      deadline(self, connection, kBodySeconds);
      const char* key = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "X-Access-Key");
      if (!self->key_matches(key)) {
        ACE_ERROR((LM_NOTICE, ACE_TEXT("JSON-RPC request refused: missing or wrong access key\n")));
        return answer(connection, MHD_HTTP_UNAUTHORIZED, "{\"error\": \"missing or wrong access key\"}");
      }
      if (std::strcmp(url, "/jsonrpc") != 0)
        return answer(connection, MHD_HTTP_NOT_FOUND, "{\"error\": \"no such path\"}");
      if (std::strcmp(method, "POST") != 0)
        return answer(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "{\"error\": \"POST only\"}");
      *state = new Call;
      return MHD_YES;
    }
    if (*upload_data_size) {
      if (call->body.size() + *upload_data_size > JSON_RPC_Endpoint::kMaxBody)
        call->too_large = true;
      else
        call->body.append(upload_data, *upload_data_size);
      *upload_data_size = 0;
      return MHD_YES;
    }
    if (call->too_large) return answer(connection, MHD_HTTP_CONTENT_TOO_LARGE, "{\"error\": \"body too large\"}");
    if (call->done) {
      if (call->reply.empty()) return answer(connection, MHD_HTTP_NO_CONTENT, call->reply);
      return answer(connection, MHD_HTTP_OK, call->reply);
    }
    if (!call->started) {
      // Served off the polling thread, which goes on with the others.
      call->started = true;
      deadline(self, connection, 0);
      {
        std::lock_guard<std::mutex> guard(self->mutex_);
        ++self->running_;
      }
      MHD_suspend_connection(connection);
      std::thread(&JSON_RPC_Endpoint::run_request, self, connection, call).detach();
    }
    return MHD_YES;
  }

  static void on_completed(void* self_ptr, MHD_Connection* connection, void** state, MHD_RequestTerminationCode) {
    delete static_cast<Call*>(*state);
    *state = nullptr;
    // A connection kept open must bring its next head in time as well.
    deadline(static_cast<JSON_RPC_Endpoint*>(self_ptr), connection, kHeadSeconds);
  }
};

void JSON_RPC_Endpoint::run_request(MHD_Connection* connection, void* call_ptr) {
  auto* call = static_cast<Call*>(call_ptr);
  call->reply = serve(call->body);
  call->done = true;
  // Resumed under the lock, so that stop() never closes the daemon while a
  // connection is still suspended.
  std::lock_guard<std::mutex> guard(mutex_);
  MHD_resume_connection(connection);
  --running_;
  changed_.notify_all();
}

void JSON_RPC_Endpoint::watch_deadlines() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (watching_) {
    const double now = now_seconds();
    for (Connection_State* state : connections_) {
      if (state->shut || state->deadline == 0 || now < state->deadline || state->fd < 0) continue;
      // The polling thread sees the end of the socket and closes it.
      ::shutdown(state->fd, SHUT_RDWR);
      state->shut = true;
    }
    changed_.wait_for(lock, std::chrono::milliseconds(250));
  }
}

JSON_RPC_Endpoint::JSON_RPC_Endpoint(const Agent_Settings& settings, const Service_Repository& services)
    : settings_(settings), services_(services) {}

JSON_RPC_Endpoint::~JSON_RPC_Endpoint() {
  stop();
  OPENSSL_cleanse(&key_pem_[0], key_pem_.size());
}

bool JSON_RPC_Endpoint::key_matches(const char* presented) const {
  const secure_string& key = settings_.endpoint_key;
  if (!presented || !*presented || key.empty()) return false;
  // Digests first, so the comparison takes the same time whatever the
  // length or content of what was presented.
  unsigned char digest[SHA256_DIGEST_LENGTH];
  unsigned char expected[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(presented), std::strlen(presented), digest);
  SHA256(reinterpret_cast<const unsigned char*>(key.data()), key.size(), expected);
  bool same = CRYPTO_memcmp(digest, expected, sizeof digest) == 0;
  OPENSSL_cleanse(expected, sizeof expected);
  return same;
}

bool JSON_RPC_Endpoint::start(std::string& error) {
  struct sockaddr_in v4 {};
  struct sockaddr_in6 v6 {};
  const struct sockaddr* address = nullptr;
  unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_POLL | MHD_ALLOW_SUSPEND_RESUME | MHD_USE_ERROR_LOG;
  if (inet_pton(AF_INET, settings_.rpc_address.c_str(), &v4.sin_addr) == 1) {
    v4.sin_family = AF_INET;
    v4.sin_port = htons(settings_.rpc_port);
    address = reinterpret_cast<const struct sockaddr*>(&v4);
  } else if (inet_pton(AF_INET6, settings_.rpc_address.c_str(), &v6.sin6_addr) == 1) {
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(settings_.rpc_port);
    address = reinterpret_cast<const struct sockaddr*>(&v6);
    flags |= MHD_USE_IPv6;
  } else {
    error = "rpc_address " + settings_.rpc_address + " is not a numeric address";
    return false;
  }
  if (settings_.tls()) {
    if (MHD_is_feature_supported(MHD_FEATURE_TLS) != MHD_YES) {
      error = "the HTTP library has no TLS support";
      return false;
    }
    if (!read_file(settings_.rpc_cert, cert_pem_)) {
      error = "cannot read rpc_cert " + settings_.rpc_cert;
      return false;
    }
    if (!read_file(settings_.rpc_key, key_pem_)) {
      error = "cannot read rpc_key " + settings_.rpc_key;
      return false;
    }
    flags |= MHD_USE_TLS;
  }
  stopping_ = false;
  MHD_OptionItem tls_options[] = {{MHD_OPTION_HTTPS_MEM_CERT, 0, const_cast<char*>(cert_pem_.c_str())},
                                  {MHD_OPTION_HTTPS_MEM_KEY, 0, const_cast<char*>(key_pem_.c_str())},
                                  {MHD_OPTION_END, 0, nullptr}};
  MHD_OptionItem no_options[] = {{MHD_OPTION_END, 0, nullptr}};
  daemon_ =
      MHD_start_daemon(flags, 0, nullptr, nullptr, &Hooks::on_request, this, MHD_OPTION_EXTERNAL_LOGGER, &log_mhd,
                       nullptr, MHD_OPTION_SOCK_ADDR, address, MHD_OPTION_NOTIFY_COMPLETED, &Hooks::on_completed, this,
                       MHD_OPTION_NOTIFY_CONNECTION, &Hooks::on_connection, this, MHD_OPTION_THREAD_POOL_SIZE,
                       kPollThreads, MHD_OPTION_CONNECTION_LIMIT, kMaxConnections, MHD_OPTION_PER_IP_CONNECTION_LIMIT,
                       kMaxConnectionsPerAddress, MHD_OPTION_CONNECTION_TIMEOUT, kBodySeconds, MHD_OPTION_ARRAY,
                       settings_.tls() ? tls_options : no_options, MHD_OPTION_END);
  if (!daemon_) {
    error = "cannot listen on " + settings_.rpc_address + " port " + std::to_string(settings_.rpc_port) +
            (errno ? std::string(": ") + std::strerror(errno) : "");
    return false;
  }
  const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_BIND_PORT);
  port_ = info ? info->port : settings_.rpc_port;
  watching_ = true;
  watchdog_ = std::thread(&JSON_RPC_Endpoint::watch_deadlines, this);
  return true;
}

void JSON_RPC_Endpoint::stop() {
  stopping_ = true;
  if (!daemon_) return;
  {
    // Waiting requests answer at once now; a connection must not be
    // suspended when the daemon goes.
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return running_ == 0; });
    watching_ = false;
    changed_.notify_all();
  }
  watchdog_.join();
  MHD_stop_daemon(daemon_);
  daemon_ = nullptr;
}

std::string JSON_RPC_Endpoint::serve(const std::string& body) {
  json_value value;
  const Json_Parse parsed = parse_json(body, value);
  if (parsed == Json_Parse::MALFORMED) return error_text(JSON_RPC_Object::E_PARSE_ERROR, json_value(), "Parse error");
  if (parsed == Json_Parse::TOO_DEEP)
    return error_text(JSON_RPC_Object::E_INVALID_REQUEST, json_value(),
                      ("Invalid Request: nested deeper than " + std::to_string(kMaxJsonDepth) + " levels").c_str());
  JSON_RPC_Object_Ptr object = JSON_RPC_Object::parse(value);
  if (!object || (object->type() != JSON_RPC_Object::TYPE_REQUEST && object->type() != JSON_RPC_Object::TYPE_NOTIFY)) {
    json_value id;
    if (value.is_object() && value.contains("id") && (value["id"].is_string() || value["id"].is_number_integer()))
      id = value["id"];
    return error_text(JSON_RPC_Object::E_INVALID_REQUEST, id, "Invalid Request");
  }
  bool notify = object->type() == JSON_RPC_Object::TYPE_NOTIFY;
  JSON_RPC_Handler* handler = services_.handler(object->method());
  if (!handler) {
    ACE_ERROR((LM_NOTICE, ACE_TEXT("JSON-RPC method %C not found\n"), object->method().c_str()));
    return notify ? std::string() : error_text(JSON_RPC_Object::E_METHOD_NOT_FOUND, object->id(), "Method not found");
  }
  std::unique_ptr<JSON_RPC_Params_Handler> check(handler->create_params_handler());
  std::string message;
  if (check && !check->check(object->params(), message))
    return notify ? std::string() : error_text(JSON_RPC_Object::E_INVALID_PARAMS, object->id(), message.c_str());

  auto channel = std::make_shared<Request_Channel>();
  bool threaded = dynamic_cast<JSON_RPC_Thread_Handler*>(handler) != nullptr;
  handler->handle(channel, object);
  if (!threaded) channel->handled();
  if (notify) return std::string();
  JSON_RPC_Object_Ptr reply = channel->wait(settings_.request_timeout, stopping_);
  if (reply) return reply->to_json().dump();
  if (stopping_) return error_text(JSON_RPC_Object::E_INTERNAL_ERROR, object->id(), "Agent stopping");
  ACE_ERROR((LM_ERROR, ACE_TEXT("JSON-RPC request %C got no answer\n"), object->method().c_str()));
  return error_text(JSON_RPC_Object::E_INTERNAL_ERROR, object->id(),
                    channel->was_handled() ? "Request not answered" : "Request timed out");
}

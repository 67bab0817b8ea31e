#include "agent/http/http_session.h"

#include <curl/curl.h>

#include <ace/Log_Msg.h>

#include <cstring>

namespace {

void global_init() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

size_t on_body(char* data, size_t size, size_t count, void* user) {
  auto* body = static_cast<std::string*>(user);
  body->append(data, size * count);
  return size * count;
}

// Header lines of the answer. A status line starts a new header block (an
// interim "100 Continue" answer comes before the real one), so the fields of
// earlier blocks are dropped.
size_t on_header(char* data, size_t size, size_t count, void* user) {
  auto* headers = static_cast<HTTP_Headers*>(user);
  std::string line(data, size * count);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  if (line.compare(0, 5, "HTTP/") == 0) {
    headers->clear();
    return size * count;
  }
  auto colon = line.find(':');
  if (colon == std::string::npos || colon == 0) return size * count;
  std::string name = line.substr(0, colon);
  std::size_t start = line.find_first_not_of(" \t", colon + 1);
  std::string value = start == std::string::npos ? std::string() : line.substr(start);
  headers->put(name, value, false);
  return size * count;
}

struct Slist {
  curl_slist* list = nullptr;
  ~Slist() { curl_slist_free_all(list); }
  bool append(const secure_string& line) {
    curl_slist* l = curl_slist_append(list, line.c_str());
    if (!l) return false;
    list = l;
    return true;
  }
};

// "Name: value"; curl drops a header given as "Name:", so an empty value
// is written "Name;" which curl sends as an empty field.
secure_string header_line(const std::string& name, const secure_string& value) {
  secure_string line(name.data(), name.size());
  if (value.empty()) {
    line += ';';
  } else {
    line += ": ";
    line += value;
  }
  return line;
}

}  // namespace

HTTP_Session::HTTP_Session(const Options& options) : options_(options) {
  global_init();
  curl_ = curl_easy_init();
}

HTTP_Session::~HTTP_Session() {
  if (curl_) curl_easy_cleanup(static_cast<CURL*>(curl_));
}

std::string HTTP_Session::base_url() const {
  std::string host = options_.host;
  if (host.find(':') != std::string::npos && host.front() != '[') host = "[" + host + "]";
  return std::string(options_.ssl ? "https://" : "http://") + host + ":" + std::to_string(options_.port);
}

bool HTTP_Session::send(const HTTP_Request& request, CGI_Response& response) {
  response.clear();
  if (!curl_) {
    response.error("no HTTP handle");
    return false;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  CURL* c = static_cast<CURL*>(curl_);
  // Resetting the options keeps the live connection, so keep-alive survives.
  curl_easy_reset(c);

  const std::string url = base_url() + request.target();
  char errbuf[CURL_ERROR_SIZE];
  errbuf[0] = '\0';
  curl_easy_setopt(c, CURLOPT_ERRORBUFFER, errbuf);
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(c, CURLOPT_TCP_KEEPALIVE, 1L);
  if (options_.connect_timeout > 0) curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, options_.connect_timeout);
  if (options_.transfer_timeout > 0) curl_easy_setopt(c, CURLOPT_TIMEOUT, options_.transfer_timeout);
  if (options_.low_speed_time > 0) {
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, options_.low_speed_time);
  }
  if (options_.ssl) {
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, options_.insecure ? 0L : 1L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, options_.insecure ? 0L : 2L);
    if (!options_.ca_file.empty()) curl_easy_setopt(c, CURLOPT_CAINFO, options_.ca_file.c_str());
  }

  switch (request.method()) {
    case HTTP_GET:
      curl_easy_setopt(c, CURLOPT_HTTPGET, 1L);
      break;
    case HTTP_HEAD_METHOD:
      curl_easy_setopt(c, CURLOPT_NOBODY, 1L);
      break;
    case HTTP_POST:
      curl_easy_setopt(c, CURLOPT_POST, 1L);
      break;
    case HTTP_PUT:
    case HTTP_DELETE:
      curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, http_method_string(request.method()));
      break;
  }
  const bool has_body = request.method() == HTTP_POST || request.method() == HTTP_PUT || !request.body().empty();
  if (has_body && request.method() != HTTP_GET && request.method() != HTTP_HEAD_METHOD) {
    curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body().size()));
    curl_easy_setopt(c, CURLOPT_POSTFIELDS, request.body().c_str());
  }

  Slist list;
  for (const auto& f : headers_.fields())
    if (!request.headers().has(f.first)) list.append(header_line(f.first, f.second));
  for (const auto& f : request.headers().fields()) list.append(header_line(f.first, f.second));
  if (!request.content_type().empty() && !request.headers().has("Content-Type") && !headers_.has("Content-Type"))
    list.append(header_line("Content-Type", secure_string(request.content_type().c_str())));
  // No "Expect: 100-continue" round trip for the small JSON bodies.
  list.append(secure_string("Expect:"));
  if (request.close()) list.append(secure_string("Connection: close"));
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, list.list);

  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, on_body);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &response.mutable_body());
  curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, on_header);
  curl_easy_setopt(c, CURLOPT_HEADERDATA, &response.mutable_headers());

  CURLcode rc = curl_easy_perform(c);
  // The header list and the error buffer die with this call; curl must not
  // keep pointers to them.
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, static_cast<curl_slist*>(nullptr));
  curl_easy_setopt(c, CURLOPT_ERRORBUFFER, static_cast<char*>(nullptr));
  if (rc != CURLE_OK) {
    std::string why = errbuf[0] ? errbuf : curl_easy_strerror(rc);
    while (!why.empty() && why.back() == '\n') why.pop_back();
    response.status(0);
    response.mutable_body().clear();
    response.error(why);
    ACE_DEBUG((LM_DEBUG, "%s %s %s failed: %s\n", options_.name.empty() ? "backupd" : options_.name.c_str(),
               http_method_string(request.method()), request.uri().c_str(), why.c_str()));
    return false;
  }
  long status = 0;
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
  response.status(static_cast<int>(status));
  return true;
}

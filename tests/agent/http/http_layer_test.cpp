// The HTTP layer towards backupd: query building, headers, and real
// exchanges with the development backupd (keep-alive, status, bodies,
// transport failures, HTTPS verification).

#include <gtest/gtest.h>

#include <cstdlib>

#include "agent/http/http_headers.h"
#include "agent/http/http_query.h"
#include "agent/http/http_request.h"
#include "agent/http/json_restful_client.h"
#include "agent/backupd/read_first_catalog.h"
#include "backupd_fixture.h"
#include "log_capture.h"

TEST(HttpQuery, EncodesNamesAndValuesAndJoinsPairsInOrder) {
  HTTP_Query q;
  q.add("job uuid", "a b&c=d/e?f%").add("limit", std::uint64_t(10)).add("offset", 0).add("empty", "");
  EXPECT_EQ(q.str(), "job%20uuid=a%20b%26c%3Dd%2Fe%3Ff%25&limit=10&offset=0&empty=");
  EXPECT_EQ(http_url_encode("AZaz09-._~"), "AZaz09-._~");
  EXPECT_EQ(http_url_encode("\xc3\xa9+"), "%C3%A9%2B");
  EXPECT_EQ(http_url_decode("a%20b%26c+d%zz%4"), "a b&c d%zz%4");
}

TEST(HttpRequest, TargetJoinsUriAndQuery) {
  HTTP_Request plain(HTTP_GET, "/d2/r/hana/backint/job", false);
  EXPECT_EQ(plain.target(), "/d2/r/hana/backint/job");
  plain.add_query("job_uuid", "u 1").add_query("database_backup_id", std::uint64_t(7));
  EXPECT_EQ(plain.query_string(), "job_uuid=u%201&database_backup_id=7");
  EXPECT_EQ(plain.target(), "/d2/r/hana/backint/job?job_uuid=u%201&database_backup_id=7");

  HTTP_Request open_query(HTTP_GET, "/d2/r/v2/resources?", false);
  open_query.add_query("uuid", "x");
  EXPECT_EQ(open_query.target(), "/d2/r/v2/resources?uuid=x");

  HTTP_Request with_query(HTTP_GET, "/p?a=1", false);
  with_query.query_string("b=2");
  EXPECT_EQ(with_query.target(), "/p?a=1&b=2");
}

TEST(HttpHeaders, ReplaceAppendCaseAndLineBreaks) {
  EXPECT_STREQ(http_head_string(HTTP_HEAD_X_ACCESS_KEY), "X-Access-Key");
  HTTP_Headers h;
  EXPECT_TRUE(h.put(HTTP_HEAD_X_ACCESS_KEY, secure_string("k1"), true));
  EXPECT_TRUE(h.put("x-access-key", std::string("k2"), true));
  ASSERT_EQ(h.size(), 1u);
  secure_string v;
  ASSERT_TRUE(h.get("X-ACCESS-KEY", v));
  EXPECT_EQ(std::string(v.c_str()), "k2");
  EXPECT_TRUE(h.put("X-Access-Key", std::string("k3"), false));
  EXPECT_EQ(h.size(), 2u);
  // A value with a line break could smuggle a header line of its own.
  EXPECT_FALSE(h.put("X-Other", std::string("a\r\nX-Access-Key: evil"), true));
  EXPECT_FALSE(h.put("Bad:Name", std::string("v"), true));
  EXPECT_EQ(h.remove("x-access-key"), 2u);
  EXPECT_TRUE(h.empty());
}

TEST(HttpSessionFactory, RefusesMissingAddressAndUnknownType) {
  Log_Capture log;
  EXPECT_FALSE(HTTP_Session_Factory::create("", 8080, false, nullptr, 3, nullptr, false, 120, 120, 120, 0));
  EXPECT_FALSE(HTTP_Session_Factory::create("127.0.0.1", 0, false, nullptr, 3, nullptr, false, 120, 120, 120, 0));
  EXPECT_FALSE(HTTP_Session_Factory::create("127.0.0.1", 80, false, nullptr, 7, nullptr, false, 120, 120, 120, 0));
  EXPECT_TRUE(HTTP_Session_Factory::create("127.0.0.1", 80, false, nullptr, 3, nullptr, false, 120, 120, 120, 0));
}

class HttpExchange : public Backupd_Test {};

TEST_F(HttpExchange, SendsKeyQueryAndBodyOnOneKeptAliveConnection) {
  JSON_HTTP_Session s = server_.json_session();
  ASSERT_TRUE(static_cast<bool>(s));
  json_value job{{"uuid", "job-1"}, {"landscape_id", "L 1"}, {"database_backup_id", 42}, {"check_exist", false}};
  CGI_Response r;
  json_value result;
  ASSERT_TRUE(s.post(HTTP_Request(HTTP_POST, "/d2/r/hana/backint/job", false), job, r, result));
  EXPECT_EQ(r.status(), 200);
  EXPECT_TRUE(r.json_body());
  EXPECT_EQ(result["uuid"], "job-1");

  HTTP_Request get(HTTP_GET, "/d2/r/hana/backint/job", false);
  get.add_query("landscape_id", "L 1").add_query("database_backup_id", std::uint64_t(42));
  ASSERT_TRUE(s.get(get, r, result));
  EXPECT_EQ(r.status(), 200);
  EXPECT_EQ(result["database_backup_id"], 42);

  json_value reqs = server_.requests();
  ASSERT_EQ(reqs.size(), 2u);
  EXPECT_EQ(reqs[0]["method"], "POST");
  EXPECT_EQ(reqs[0]["body"], job);
  EXPECT_EQ(reqs[1]["query"], "landscape_id=L%201&database_backup_id=42");
  EXPECT_EQ(reqs[1]["params"][0], json_value::array({"landscape_id", "L 1"}));
  EXPECT_EQ(reqs[0]["host_uuid"], server_.host_uuid());
  EXPECT_EQ(reqs[1]["host_uuid"], server_.host_uuid());
  // Keep-alive: both requests came over the same client port.
  EXPECT_EQ(reqs[0]["peer"], reqs[1]["peer"]);

  // A copy shares the connection.
  JSON_HTTP_Session copy = s;
  ASSERT_TRUE(copy.get(get, r, result));
  EXPECT_EQ(server_.requests()[2]["peer"], reqs[0]["peer"]);
}

TEST_F(HttpExchange, StatusAndBodyKindsReachTheCaller) {
  JSON_HTTP_Session s = server_.json_session();
  CGI_Response r;
  json_value result;
  HTTP_Request req(HTTP_GET, "/d2/r/hana/backint/job", false);
  req.add_query("job_uuid", "missing");
  ASSERT_TRUE(s.get(req, r, result));
  EXPECT_EQ(r.status(), 404);
  EXPECT_TRUE(result.is_object());

  // A 200 whose body is not JSON is an exchange, but leaves no JSON value.
  ASSERT_TRUE(server_.fault_raw(1, 200, "<html>proxy</html>"));
  ASSERT_TRUE(s.get(req, r, result));
  EXPECT_EQ(r.status(), 200);
  EXPECT_FALSE(r.json_body());
  EXPECT_TRUE(result.is_null());
  EXPECT_EQ(r.body(), "<html>proxy</html>");

  // A request header overrides the session's: a wrong key is refused.
  HTTP_Request wrong = req;
  wrong.headers().put(HTTP_HEAD_X_ACCESS_KEY, secure_string("not-the-key"), true);
  ASSERT_TRUE(s.get(wrong, r, result));
  EXPECT_EQ(r.status(), 401);
}

TEST_F(HttpExchange, TransportFailuresAreNotExchangesAndNeverLogTheKey) {
  JSON_HTTP_Session s = server_.json_session();
  CGI_Response r;
  json_value result = json_value{{"stale", true}};
  HTTP_Request req(HTTP_GET, "/d2/r/hana/backint/job", false);
  req.add_query("job_uuid", "j");
  Log_Capture log;
  for (const char* drop : {"true", "silent"}) {
    ASSERT_TRUE(server_.fault(1, 0, "", drop));
    EXPECT_FALSE(s.get(req, r, result)) << drop;
    EXPECT_EQ(r.status(), 0) << drop;
    EXPECT_FALSE(r.error().empty()) << drop;
    EXPECT_TRUE(result.is_null()) << drop;
  }
  // The session recovers on a new connection.
  ASSERT_TRUE(s.get(req, r, result));
  EXPECT_EQ(r.status(), 404);
  EXPECT_NE(log.text().find("GET /d2/r/hana/backint/job failed"), std::string::npos) << log.text();
  EXPECT_EQ(log.text().find(server_.access_key()), std::string::npos) << log.text();

  JSON_HTTP_Session empty(HTTP_Session_Ptr(), 5, 300);
  EXPECT_FALSE(static_cast<bool>(empty));
  EXPECT_FALSE(empty.get(req, r, result));
}

TEST_F(HttpExchange, TransferTimeoutEndsAStalledAnswer) {
  Log_Capture log;
  HTTP_Session_Settings settings;
  settings.host = "127.0.0.1";
  settings.port = server_.port();
  settings.name = "t";
  settings.connect_timeout = 5;
  settings.transfer_timeout = 1;
  settings.low_speed_time = 5;
  HTTP_Session_Ptr slow = HTTP_Session_Factory::create(settings);
  ASSERT_TRUE(slow);
  slow->headers().put(HTTP_HEAD_X_ACCESS_KEY, server_.access_key(), true);
  ASSERT_TRUE(server_.fault(1, 200, "", "", 3));
  CGI_Response r;
  EXPECT_FALSE(slow->send(HTTP_Request(HTTP_GET, "/d2/r/v2/pools/p", false), r));
  EXPECT_EQ(r.status(), 0);
}

TEST_F(HttpExchange, RestfulClientAndFirstCatalogRecord) {
  ASSERT_TRUE(server_.add_pool(json_value{
      {"uuid", "pool-1"}, {"name", "p"}, {"url", "/srv/p"}, {"compression", "zstd"}, {"compression_level", 3}}));
  JSON_RESTful_Client client(server_.json_session());
  int status = 0;
  json_value pool;
  ASSERT_TRUE(client.get("/d2/r/v2/pools/pool-1", status, pool));
  EXPECT_EQ(status, 200);
  EXPECT_EQ(pool["url"], "/srv/p");
  EXPECT_EQ(pool["compression_level"], 3);
  ASSERT_TRUE(client.get("/d2/r/v2/pools/nope", status, pool));
  EXPECT_EQ(status, 404);

  ASSERT_TRUE(server_.add_resource("res 1", json_value{{"instances", json_value::array({json_value{{"name", "i"}}})}}));
  server_.clear_requests();
  HTTP_Session_Ptr session = server_.session();
  const std::string path = "/d2/r/v2/resources?" + HTTP_Query().add("uuid", "res 1").str();
  json_value record;
  ASSERT_TRUE(server_.fault(2, 503, "/d2/r/v2/resources"));
  ASSERT_TRUE(read_first_catalog(session, path, record, 10, -1));
  EXPECT_EQ(record["uuid"], "res 1");
  EXPECT_EQ(record["instances"][0]["name"], "i");
  EXPECT_EQ(server_.requests().size(), 3u);

  // An answer without a record is final: no retry, value untouched.
  Log_Capture log;
  server_.clear_requests();
  json_value untouched{{"keep", 1}};
  EXPECT_FALSE(read_first_catalog(session, "/d2/r/v2/resources?uuid=other", untouched, 10, -1));
  EXPECT_EQ(untouched, (json_value{{"keep", 1}}));
  EXPECT_EQ(server_.requests().size(), 1u);

  // Retries are bounded by the count.
  server_.clear_requests();
  ASSERT_TRUE(server_.fault(5, 500, "/d2/r/v2/resources"));
  EXPECT_FALSE(read_first_catalog(session, path, record, 2, -1));
  EXPECT_EQ(server_.requests().size(), 3u);
  EXPECT_NE(log.text().find("Failed to read catalog '" + path + "', status 500"), std::string::npos) << log.text();
}

// HTTPS with a self-signed certificate made here by the openssl command.
class HttpsExchange : public Backupd_Test {
 protected:
  static std::string make_cert(const Temp_Dir& dir, const std::string& name) {
    const std::string cmd =
        "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1"
        " -addext subjectAltName=IP:127.0.0.1 -keyout '" +
        dir.file(name + ".key") + "' -out '" + dir.file(name + ".pem") + "' >/dev/null 2>&1";
    return std::system(cmd.c_str()) == 0 ? dir.file(name + ".pem") : std::string();
  }
  Backupd_Server::Options server_options() override {
    Backupd_Server::Options o;
    o.ssl_cert = make_cert(certs_, "server");
    o.ssl_key = certs_.file("server.key");
    return o;
  }
  Temp_Dir certs_;
};

TEST_F(HttpsExchange, VerifiesTheServerAgainstTheCaFile) {
  ASSERT_TRUE(server_.ssl());
  CGI_Response r;
  HTTP_Request req(HTTP_GET, "/d2/r/v2/pools/none", false);
  HTTP_Session_Ptr good = server_.session();
  ASSERT_TRUE(good);
  EXPECT_TRUE(good->send(req, r));
  EXPECT_EQ(r.status(), 404);
  EXPECT_EQ(good->base_url().substr(0, 8), "https://");

  const std::string other_ca = make_cert(certs_, "other");
  ASSERT_FALSE(other_ca.empty());
  HTTP_SSL_Context wrong;
  wrong.ca_file = other_ca;
  Log_Capture log;
  HTTP_Session_Settings settings;
  settings.host = "127.0.0.1";
  settings.port = server_.port();
  settings.ssl = true;
  settings.name = "t";
  settings.ssl_ctx = &wrong;
  settings.connect_timeout = settings.transfer_timeout = settings.low_speed_time = 10;
  HTTP_Session_Ptr refused = HTTP_Session_Factory::create(settings);
  ASSERT_TRUE(refused);
  EXPECT_FALSE(refused->send(req, r));
  EXPECT_EQ(r.status(), 0);
  EXPECT_FALSE(r.error().empty());

  // Plain HTTP to the TLS port is no exchange either.
  HTTP_Session_Ptr plain =
      HTTP_Session_Factory::create("127.0.0.1", server_.port(), false, "t", 3, nullptr, false, 10, 10, 10, 0);
  EXPECT_FALSE(plain->send(req, r) && r.status() == 404);
}

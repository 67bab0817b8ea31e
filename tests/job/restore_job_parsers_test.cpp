// The restore job's source and options parsers: what they build, the error
// code and message of each refusal, and generate() round trips.

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <yajl/yajl_gen.h>

#include <memory>
#include <string>

#include "agent/base/object_creator.h"
#include "job/restore_job_options.h"
#include "job/restore_job_options_parser.h"
#include "job/restore_job_source.h"
#include "job/restore_job_source_parser.h"
#include "log_capture.h"

using namespace sap_hana;

namespace {

template <typename Parser>
int parse(Parser& parser, const std::string& text) {
  std::string error;
  return parser.parse(text.data(), text.size(), error);
}

std::shared_ptr<Restore_Job_Source> parse_source(const std::string& text, int* code = nullptr) {
  Restore_Job_Source_Parser parser;
  const int rc = parse(parser, text);
  if (code != nullptr) *code = rc;
  return rc == 0 ? std::dynamic_pointer_cast<Restore_Job_Source>(parser.result()) : nullptr;
}

template <typename T>
std::string generated(const T& object) {
  yajl_gen gen = yajl_gen_alloc(nullptr);
  std::string text;
  if (object.generate(gen) == 0) {
    const unsigned char* buf = nullptr;
    size_t len = 0;
    yajl_gen_get_buf(gen, &buf, &len);
    text.assign(reinterpret_cast<const char*>(buf), len);
  }
  yajl_gen_free(gen);
  return text;
}

std::string describe(const Restore_Job_Source& s) {
  std::string out = s.id() + "|" + s.name() + "|" + s.pool_uuid() + "|" + s.log_pool_uuid();
  for (const auto& e : s.get_entries())
    out += " [" + e.catalog_uuid + " " + e.origin.sid + "/" + e.origin.database + " -> " + e.target.database + " @" +
           e.target.timepoint + " ~" + e.target.lifeline + "]";
  return out;
}

const char* const kSource = R"({"id": "r-1", "name": "restore PRD", "pool_uuid": "p-data", "log_pool_uuid": "p-log",
  "comment": "x", "entries": [
    {"catalog_uuid": "set-1", "original": {"sid": "PRD", "database": "SYSTEMDB"}, "extra": {"a": "b"}},
    {"original": {"database": "T1", "sid": "PRD"},
     "restore_as": {"database": "T2", "timepoint": "2024-01-31 10:00:00", "lifeline": "L1", "note": "n"}},
    {"original": {"database": "T3", "sid": "QAS"}, "restore_as": {"timepoint": "2024-02-01 08:00:00"}}]})";

}  // namespace

TEST(Restore_Job_Source_Parser, BuildsEntriesWithDefaultsAndCarriedOverValues) {
  Log_Capture log;
  auto source = parse_source(kSource);
  ASSERT_NE(nullptr, source);
  // The target database defaults to the origin's; the third entry keeps
  // nothing of the second (no lifeline of its own: none).
  EXPECT_EQ(describe(*source),
            "r-1|restore PRD|p-data|p-log [set-1 PRD/SYSTEMDB -> SYSTEMDB @ ~]"
            " [ PRD/T1 -> T2 @2024-01-31 10:00:00 ~L1] [ QAS/T3 -> T3 @2024-02-01 08:00:00 ~]");
  // An unknown key deselects the key before it instead of taking its value.
  source = parse_source(R"({"id": "r-1", "bogus": "r-2", "name": "n", "entries": []})");
  ASSERT_NE(nullptr, source);
  EXPECT_EQ(describe(*source), "r-1|n||");
  EXPECT_EQ(log.text(), "");
}

TEST(Restore_Job_Source_Parser, RefusalsCarryTheirCodeAndMessage) {
  const std::string original = R"("original": {"sid": "PRD", "database": "T1"})";
  struct Case {
    std::string json;
    int code;
    std::string log;
  } cases[] = {
      {R"({"entries": []})", 7,
       "Failed to parse HANA restore job definition source, lack of 'id'.\n"
       "Failed to parse HANA restore job definition source, lack of 'name'.\n"},
      {R"({"id": "r", "name": "n"})", 7, "Failed to parse HANA restore job definition source, lack of 'entries'.\n"},
      {R"({"id": "r", "name": "n", "entries": {}})", 7,
       "Failed to parse HANA restore job definition source, lack of 'entries'.\n"},
      {R"({"id": "r", "name": "n", "entries": [{"catalog_uuid": "c", "original": {"database": "T1"}}]})", 7,
       "Failed to parse HANA restore job definition origin source, lack of 'sid'.\n"},
      {R"({"id": "r", "name": "n", "entries": [{)" + original + R"(, "restore_as": {"database": "T2"}}]})", 7,
       "Failed to parse HANA restore job definitionsource, lack of catalog uuid or time.\n"},
      {R"({"id": "r", "name": "n", "entries": [{"catalog_uuid": "c"}]})", 7,
       "Failed to parse HANA restore job definitionsource, lack of origin database.\n"},
      {R"({"id": "r", "name": "n", "entries": "x"})", 9, ""},
      {R"({"id": "r", "name": "n", "entries": ["x"]})", 9, ""},
      {R"({"id": "r", "name": "n", "entries": [{"catalog_uuid": "c", "original": "PRD"}]})", 9, ""},
      {R"(["id"])", 3, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.json);
    Log_Capture log;
    int code = 0;
    EXPECT_EQ(nullptr, parse_source(c.json, &code));
    EXPECT_EQ(c.code, code);
    EXPECT_EQ(c.log, log.text());
  }
}

TEST(Restore_Job_Source_Parser, GenerateParsesBackIntoTheSameSource) {
  auto source = parse_source(kSource);
  ASSERT_NE(nullptr, source);
  const std::string text = generated(*source);
  EXPECT_EQ(
      text,
      R"({"id":"r-1","name":"restore PRD","entries":[)"
      R"({"catalog_uuid":"set-1","original":{"sid":"PRD","database":"SYSTEMDB"},"restore_as":{"database":"SYSTEMDB"}},)"
      R"({"original":{"sid":"PRD","database":"T1"},"restore_as":{"database":"T2","timepoint":"2024-01-31 10:00:00","lifeline":"L1"}},)"
      R"({"original":{"sid":"QAS","database":"T3"},"restore_as":{"database":"T3","timepoint":"2024-02-01 08:00:00"}}],)"
      R"("pool_uuid":"p-data","log_pool_uuid":"p-log"})");
  auto again = parse_source(text);
  ASSERT_NE(nullptr, again);
  EXPECT_EQ(describe(*source), describe(*again));

  // Required members are written even when empty, so the text still parses.
  auto empty = parse_source(R"({"id": "r", "name": "", "entries": []})");
  ASSERT_NE(nullptr, empty);
  EXPECT_EQ(generated(*empty), R"({"id":"r","name":"","entries":[]})");
  EXPECT_NE(nullptr, parse_source(generated(*empty)));
}

TEST(Restore_Job_Options_Parser, ReadsIgnoreDeltaAndRefusesOtherKinds) {
  struct Case {
    const char* json;
    int code;
    bool ignore_delta;
  } cases[] = {
      {"{}", 0, false},
      {R"({"ignore_delta": true, "other": false})", 0, true},
      {R"({"ignore_delta": false})", 0, false},
      {R"({"other": {"x": 1}, "list": [1]})", 0, false},
      {R"({"ignore_delta": "true"})", 9, false},
      {R"({"ignore_delta": 1})", 9, false},
      {R"({"nested": {"ignore_delta": true}})", 9, false},
      {"[true]", 3, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.json);
    Restore_Job_Options_Parser parser;
    EXPECT_EQ(c.code, parse(parser, c.json));
    if (c.code != 0) continue;
    auto options = std::dynamic_pointer_cast<Restore_Job_Options>(parser.result());
    ASSERT_NE(nullptr, options);
    EXPECT_EQ(c.ignore_delta, options->ignore_delta());
    const std::string text = generated(*options);
    EXPECT_EQ(text, c.ignore_delta ? R"({"ignore_delta":true})" : R"({"ignore_delta":false})");
    Restore_Job_Options_Parser again;
    ASSERT_EQ(0, parse(again, text));
    EXPECT_EQ(c.ignore_delta, std::dynamic_pointer_cast<Restore_Job_Options>(again.result())->ignore_delta());
  }
}

TEST(Restore_Job_Parsers, PluginCreatorsMakeThem) {
  void* plugin = ::dlopen((std::string(HANA_BINARY_DIR) + "/hana-agent-plugin.so").c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(nullptr, plugin) << ::dlerror();
  using Creator = Object_Creator_T<YAJL_Handler>;
  using Factory = void* (*)(void (**)(void*));
  for (const char* name : {"HANA_Restore_Job_Options_Parser_Creator", "HANA_Restore_Job_Source_Parser_Creator"}) {
    SCOPED_TRACE(name);
    auto make = reinterpret_cast<Factory>(::dlsym(plugin, (std::string("_make_") + name).c_str()));
    ASSERT_NE(nullptr, make);
    void (*gobble)(void*) = nullptr;
    auto* creator = static_cast<Creator*>(make(&gobble));
    ASSERT_NE(nullptr, creator);
    YAJL_Handler* parser = creator->create();
    const bool options = std::string(name).find("Options") != std::string::npos;
    if (options)
      EXPECT_NE(nullptr, dynamic_cast<YAJL_Parser<Job_Options>*>(parser));
    else
      EXPECT_NE(nullptr, dynamic_cast<YAJL_Parser<Job_Source>*>(parser));
    const std::string text = options ? R"({"ignore_delta": true})" : R"({"id": "r", "name": "n", "entries": []})";
    std::string error;
    EXPECT_EQ(0, parser->parse(text.data(), text.size(), error)) << error;
    creator->destroy(parser);
    gobble(creator);
  }
}

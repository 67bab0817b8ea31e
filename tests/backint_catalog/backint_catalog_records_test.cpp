// The backint catalog records and their JSON forms.

#include <gtest/gtest.h>

#include "backint_catalog/backint_backup_file.h"
#include "backint_catalog/backint_job.h"
#include "log_capture.h"

using sap_hana::Array_to_Backup_File_Info;
using sap_hana::Backint_Backup_Job_Info;
using sap_hana::Backup_File_Info;
using sap_hana::Backup_File_Infos;

namespace {

std::vector<std::string> keys(const json_value& o) {
  std::vector<std::string> k;
  for (auto it = o.begin(); it != o.end(); ++it) k.push_back(it.key());
  return k;
}

Backint_Backup_Job_Info sample_job() {
  Backint_Backup_Job_Info j;
  j.id = 99;
  j.database_backup_id = 1700000000123ULL;
  j.uuid = "0f0e0d0c0b0a09080706050403020100";
  j.host_uuid = "host-1";
  j.job_act_id = "act-1";
  j.type = "complete";
  j.location = "/srv/pool";
  j.database = "SYSTEMDB";
  j.compression = "zstd";
  j.compression_level = 7;
  j.sid = "H00";
  j.pool_uuid = "pool-1";
  j.landscape_id = "land-1";
  j.extended_attrs = json_value{{"backup_time", "2024-01-02T03:04:05.000Z"}, {"io_ctl", {{"max_seconds_retry", 60}}}};
  return j;
}

json_value job_row() {
  return json_value{{"id", 5},
                    {"uuid", "u"},
                    {"host_uuid", "h"},
                    {"job_act_id", "a"},
                    {"location", "/l"},
                    {"database_backup_id", 12},
                    {"database", "DB"},
                    {"extended_attrs", "{\"compression_level\": 9, \"io_ctl\": {}}"},
                    {"landscape_id", "L"},
                    {"compression", "lzop"},
                    {"compression_level", 3},
                    {"type", "ignored"},
                    {"sid", "ignored"}};
}

json_value file_row() {
  return json_value{{"id", 8},
                    {"info_uuid", "i"},
                    {"filename", "f"},
                    {"origin_path", "/p/f"},
                    {"size", 100},
                    {"storage_size", 60},
                    {"extern_backup_id", "e"},
                    {"source_type", "pipe"},
                    {"pool_uuid", "p"},
                    {"storage_path", "h/L/DB/1/f"},
                    {"extended_attrs", "{\"backup_time\": \"2024-05-06T07:08:09Z\"}"},
                    {"location", "/pool"},
                    {"database_backup_id", 77}};
}

}  // namespace

TEST(BackintCatalogJob, WritesAllMembersInOrderWithoutIdAndReadsThemBack) {
  json_value o;
  sample_job() >> o;
  EXPECT_EQ(keys(o), (std::vector<std::string>{"database_backup_id", "uuid", "host_uuid", "job_act_id", "type",
                                               "location", "database", "compression", "compression_level",
                                               "extended_attrs", "sid", "pool_uuid", "landscape_id"}));
  EXPECT_EQ(o["database_backup_id"], 1700000000123ULL);
  EXPECT_TRUE(o["extended_attrs"].is_object());

  Backint_Backup_Job_Info back;
  back << o;
  json_value again;
  back >> again;
  EXPECT_EQ(again, o);
  EXPECT_EQ(back.id, 0u);

  // A cleared record writes the new state.
  Backint_Backup_Job_Info cleared = sample_job();
  cleared.clear();
  json_value fresh;
  cleared >> fresh;
  EXPECT_EQ(fresh["compression_level"], 1);
  EXPECT_EQ(fresh["extended_attrs"], json_value::object());
  EXPECT_EQ(fresh["uuid"], "");
}

TEST(BackintCatalogJob, ReadingKeepsMissingMembersAndRejectsWrongKinds) {
  Backint_Backup_Job_Info j;
  j << json_value{{"uuid", "x"}, {"unknown", 1}};
  EXPECT_EQ(j.uuid, "x");
  EXPECT_EQ(j.compression_level, 1);

  EXPECT_THROW((j << json_value{{"compression_level", "high"}}), Json_Member_Error);
  EXPECT_THROW((j << json_value{{"extended_attrs", "{}"}}), Json_Member_Error);
  EXPECT_THROW((j << json_value{{"database_backup_id", -1}}), Json_Member_Error);
}

TEST(BackintCatalogJob, ParsesServerRows) {
  Backint_Backup_Job_Info j;
  ASSERT_TRUE(j.parse(job_row()));
  EXPECT_EQ(j.id, 5u);
  EXPECT_EQ(j.compression, "lzop");
  EXPECT_EQ(j.compression_level, 9);  // the attributes override the column
  EXPECT_EQ(j.extended_attrs, (json_value{{"compression_level", 9}, {"io_ctl", json_value::object()}}));
  EXPECT_EQ(j.type, "");
  EXPECT_EQ(j.sid, "");
  EXPECT_EQ(j.pool_uuid, "");

  json_value empty_attrs = job_row();
  empty_attrs["extended_attrs"] = "{}";
  empty_attrs["pool_uuid"] = "pool";
  Backint_Backup_Job_Info k;
  ASSERT_TRUE(k.parse(empty_attrs));
  EXPECT_EQ(k.extended_attrs, json_value::object());
  EXPECT_EQ(k.compression_level, 3);
  EXPECT_EQ(k.pool_uuid, "pool");
}

TEST(BackintCatalogJob, ParseFailuresLogTheReasonAndKeepTheRecord) {
  Log_Capture log;
  Backint_Backup_Job_Info j = sample_job();
  const Backint_Backup_Job_Info before = j;

  json_value bad_text = job_row();
  bad_text["extended_attrs"] = "{not json";
  EXPECT_FALSE(j.parse(bad_text));
  json_value not_object = job_row();
  not_object["extended_attrs"] = "[1]";
  EXPECT_FALSE(j.parse(not_object));
  json_value missing = job_row();
  missing.erase("landscape_id");
  EXPECT_FALSE(j.parse(missing));
  json_value mistyped = job_row();
  mistyped["extended_attrs"] = json_value::object();
  EXPECT_FALSE(j.parse(mistyped));

  EXPECT_EQ(log.text(),
            "Failed to load extended attrs while parsing backint backup info\n"
            "Failed to load extended attrs while parsing backint backup info\n"
            "Failed to parse backint backup job info, member \"landscape_id\" is missing\n"
            "Failed to parse backint backup job info, member \"extended_attrs\" is not a string\n");
  json_value a, b;
  j >> a;
  before >> b;
  EXPECT_EQ(a, b);
  EXPECT_EQ(j.id, before.id);
}

TEST(BackintCatalogFile, WritesTenMembersOrTwelveInOrder) {
  Backup_File_Info f;
  f << file_row();
  f.location.clear();
  f.backup_time.clear();
  json_value o;
  f >> o;
  EXPECT_EQ(keys(o), (std::vector<std::string>{"info_uuid", "filename", "size", "storage_size", "extern_backup_id",
                                               "source_type", "storage_path", "origin_path", "pool_uuid",
                                               "database_backup_id"}));
  f.location = "/pool";
  f.backup_time = "2024-05-06T07:08:09Z";
  json_value full;
  f >> full;
  EXPECT_EQ(full.size(), 12u);
  EXPECT_EQ(keys(full).back(), "backup_time");
  EXPECT_EQ(full["location"], "/pool");

  Backup_File_Info back;
  back << full;
  json_value again;
  back >> again;
  EXPECT_EQ(again, full);
  EXPECT_EQ(back.id, 0u);  // never read by operator<<
  EXPECT_THROW((back << json_value{{"size", "big"}}), Json_Member_Error);
}

TEST(BackintCatalogFile, ParsesServerRowsAndIgnoresBadAttributes) {
  Backup_File_Info f;
  ASSERT_TRUE(f.parse(file_row()));
  EXPECT_EQ(f.id, 8u);
  EXPECT_EQ(f.size, 100u);
  EXPECT_EQ(f.storage_size, 60u);
  EXPECT_EQ(f.backup_time, "2024-05-06T07:08:09Z");
  EXPECT_EQ(f.location, "/pool");
  EXPECT_EQ(f.database_backup_id, 77u);

  json_value odd = file_row();
  odd["extended_attrs"] = "not json";
  odd.erase("location");
  Backup_File_Info g;
  ASSERT_TRUE(g.parse(odd));
  EXPECT_EQ(g.backup_time, "");
  EXPECT_EQ(g.location, "");

  Log_Capture log;
  json_value missing = file_row();
  missing.erase("storage_path");
  EXPECT_FALSE(g.parse(missing));
  json_value mistyped = file_row();
  mistyped["size"] = -3;
  EXPECT_FALSE(g.parse(mistyped));
  EXPECT_EQ(log.text(),
            "Failed to parse backup file info, member \"storage_path\" is missing\n"
            "Failed to parse backup file info, member \"size\" is not an unsigned integer\n");
  EXPECT_EQ(g.storage_path, "h/L/DB/1/f");
}

TEST(BackintCatalogFile, ArrayConversionSkipsNonObjectsAndAppends) {
  Backup_File_Infos list(1);
  json_value array =
      json_value::array({42, json_value{{"extern_backup_id", "e1"}}, "x", json_value{{"extern_backup_id", "e2"}}});
  ASSERT_TRUE(Array_to_Backup_File_Info(array, list));
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[1].extern_backup_id, "e1");
  EXPECT_EQ(list[2].extern_backup_id, "e2");
  EXPECT_FALSE(Array_to_Backup_File_Info(json_value::object(), list));
  EXPECT_EQ(list.size(), 3u);
}

// The JSON form of backup sets and the minor resource id.
#include <gtest/gtest.h>

#include "agent/backupset/hana_backup_set.h"
#include "agent/backupset/minor_resource_id.h"

namespace {

using sap_hana::HANA_Backup_Set;

HANA_Backup_Set sample_set() {
  HANA_Backup_Set set;
  set.uuid = "6d1e4f7a-2b3c-4d5e-8f90-a1b2c3d4e5f6";
  set.name = "daily";
  set.definition_id = "17";
  set.job_act_id = "act-1";
  set.definition_uid = "uid-1";
  set.host_id = "host-1";
  set.resource_uuid = "res-1";
  set.minor_resource_id = compute_minor_resource_id(set.resource_uuid, "T01");
  set.sub_resource = "T01";
  set.agent = "hana";
  set.incarnation = set.uuid;
  set.lifeline = "life-1";
  set.type = "incremental";
  set.start_time = 1767323045;  // 2026-01-02T03:04:05Z
  set.end_time = 1767323645;
  set.creation_time = 1767323000;
  set.completion_time = 1767323700;
  set.sid = "H00";
  set.system_version = "2.00.059.00.1644229038";
  set.instance_number = 0;
  set.instance_name = "HDB00";
  set.database = "T01";
  set.database_backup_id = 1700000000123ULL;
  set.add_file({"ebid-1", "/usr/sap/H00/SYS/global/hdb/backint/DB_T01/x_databackup_0_1", "x_databackup_0_1", 1ULL << 40,
                "pipe", "host-1/L1/T01/1700000000123/x_databackup_0_1"});
  set.add_piece(set.files[0].storage_path, set.files[0].size);
  set.add_storage({"pool-1", 12345});
  set.source_size = set.files[0].size;
  set.storage_size = 12345;
  return set;
}

TEST(Backup_Set_Json, HanaSetRoundTripsThroughItsCommittedForm) {
  const HANA_Backup_Set set = sample_set();
  const json_value j = set.to_json();
  EXPECT_EQ("hana", j["module"]);
  EXPECT_EQ("2026-01-02T03:04:05Z", j["start_time"]);
  EXPECT_EQ(-1, j["expiry_time"]);
  EXPECT_EQ(json_value({{"pool_uuid", "pool-1"}, {"storage_size", 12345}}), j["storages"][0]);
  EXPECT_EQ(1700000000123ULL, j["database_backup_id"].get<std::uint64_t>());
  // Generic members first, the HANA ones after them.
  EXPECT_EQ("uuid", j.begin().key());
  EXPECT_EQ("files", (--j.end()).key());

  HANA_Backup_Set back;
  std::string error;
  ASSERT_TRUE(back.from_json(j, error)) << error;
  EXPECT_EQ(j, back.to_json());
}

TEST(Backup_Set_Json, ServerAnswerFormParsesAndUnknownMembersAreIgnored) {
  json_value answer = sample_set().to_json();
  answer["pool_uuid"] = "pool-1";
  answer["first_time"] = "2026-01-02 03:04:05";
  answer["storages"][0]["state"] = json_value::array({"available"});
  answer["end_time"] = 1767323645;  // seconds are read too
  answer["completion_time"] = "";
  HANA_Backup_Set set;
  std::string error;
  ASSERT_TRUE(set.from_json(answer, error)) << error;
  EXPECT_EQ(1767323645, set.end_time);
  EXPECT_EQ(0, set.completion_time);
  EXPECT_EQ("pool-1", set.storages.at(0).target_id);
  EXPECT_EQ(1u, set.files.size());
}

TEST(Backup_Set_Json, RejectedInputNamesTheMemberAndChangesNothing) {
  const struct {
    const char* key;
    json_value value;
    const char* error;
  } cases[] = {
      {"database_backup_id", "5", "member \"database_backup_id\" is not an unsigned integer"},
      {"start_time", "yesterday", "member \"start_time\" is not an ISO 8601 time"},
      {"storages", json_value::array({json_value::object()}), "member \"pool_uuid\" is missing"},
      {"files", json_value::array({{{"extern_backup_id", "e"}}}), "member \"storage_path\" is missing"},
      {"instance_number", 70000, "member \"instance_number\" is out of range"},
  };
  for (const auto& c : cases) {
    json_value j = sample_set().to_json();
    j[c.key] = c.value;
    HANA_Backup_Set set;
    set.name = "untouched";
    std::string error;
    EXPECT_FALSE(set.from_json(j, error)) << c.key;
    EXPECT_EQ(c.error, error);
    EXPECT_EQ("untouched", set.name);
    EXPECT_TRUE(set.uuid.empty());
  }
  Backup_Set generic;
  std::string error;
  EXPECT_FALSE(generic.from_json(json_value{{"name", "n"}}, error));
  EXPECT_EQ("member \"uuid\" is missing", error);
}

TEST(Minor_Resource_Id, IsAStableNameBasedUuidOfTheResourceAndDatabase) {
  const std::string id = compute_minor_resource_id("1E0C5A3B-2D4F-4A6B-8C9D-0E1F2A3B4C5D", "SYSTEMDB");
  // Pinned (a standard version 5 UUID in our namespace): ids already in the
  // catalog must keep matching new sets.
  EXPECT_EQ("61dcebd8-67b2-5d94-98e9-e9ff8b73631a", id);
  EXPECT_EQ(id, compute_minor_resource_id("1e0c5a3b-2d4f-4a6b-8c9d-0e1f2a3b4c5d", "SYSTEMDB"));
  EXPECT_NE(id, compute_minor_resource_id("1e0c5a3b-2d4f-4a6b-8c9d-0e1f2a3b4c5d", "T01"));
  EXPECT_NE(id, compute_minor_resource_id("1e0c5a3b-2d4f-4a6b-8c9d-0e1f2a3b4c5e", "SYSTEMDB"));
}

}  // namespace

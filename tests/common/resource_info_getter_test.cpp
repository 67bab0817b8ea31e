// Resource_Info_Getter against the development backupd.
#include "common/resource_info_getter.h"

#include <gtest/gtest.h>

#include "backupd_fixture.h"
#include "log_capture.h"

namespace {

using sap_hana::Resource_Info_Getter;

const char* const kResource = "7d2f9c1e-0000-4000-8000-0000000000r1";

json_value instance(const std::string& name, const std::string& sid, const std::string& instance_name,
                    std::uint64_t number, bool mdc) {
  return json_value{{"name", name},
                    {"uuid", "uuid-" + name},
                    {"host_uuid", "host-" + name},
                    {"extended_attrs",
                     {{"sid", sid},
                      {"instance_name", instance_name},
                      {"instance_number", number},
                      {"multi_container", mdc},
                      {"version", "2.00.059"}}}};
}

class Resource_Info_Getter_Test : public Backupd_Test {
 protected:
  void put_instances(const json_value& instances, const std::string& uuid = kResource) {
    ASSERT_TRUE(server_.add_resource(uuid, json_value{{"name", "HANA prod"}, {"instances", instances}}));
  }
  Resource_Info_Getter getter(const std::string& uuid = kResource) {
    return Resource_Info_Getter(uuid, server_.session());
  }

  std::string sid_ = "unset", instance_name_ = "unset", mgr_name_ = "unset";
  ACE_UINT16 number_ = 99;
  Resource_Info_Getter::Instances_Info infos_;
  Log_Capture log_;
};

TEST_F(Resource_Info_Getter_Test, ReadsRecordSkippingNonObjectInstances) {
  put_instances(json_value{"not an instance", instance("HDB_HDB02", "HDB", "HDB02", 65536 + 2, false),
                           instance("HDB_HDB03", "HDB", "HDB03", 3, true)});
  infos_.emplace_back();  // appended to, never cleared

  ASSERT_TRUE(getter().base_info(sid_, instance_name_, mgr_name_, number_));
  EXPECT_EQ("HDB", sid_);
  EXPECT_EQ("HDB02", instance_name_);
  EXPECT_EQ("HDB_HDB02", mgr_name_);
  EXPECT_EQ(2, number_) << "only the low 16 bits name the instance";

  ASSERT_TRUE(getter().get_instances_info(infos_));
  ASSERT_EQ(3u, infos_.size());
  const Resource_Info_Getter::Instance_Info& second = infos_[2];
  EXPECT_EQ("host-HDB_HDB03", second.host_uuid);
  EXPECT_EQ("HDB", second.sid);
  EXPECT_EQ("uuid-HDB_HDB03", second.uuid);
  EXPECT_EQ("HDB03", second.instance_name);
  EXPECT_EQ("HDB_HDB03", second.instance_mgr_name);
  EXPECT_EQ(3, second.instance_number);
  EXPECT_TRUE(second.mdc);
  EXPECT_EQ(instance("x", "HDB", "HDB03", 3, true)["extended_attrs"].dump(), second.ext_attrs.dump())
      << "extended attributes kept whole, in order";
  EXPECT_FALSE(infos_[1].mdc);
  EXPECT_EQ(2, infos_[1].instance_number);
  EXPECT_TRUE(log_.lines().empty());

  json_value info;
  ASSERT_TRUE(getter().get_info(info));
  EXPECT_EQ("HANA prod", info["name"]);

  json_value requests = server_.requests();
  ASSERT_EQ(3u, requests.size());
  EXPECT_EQ("GET", requests[0]["method"]);
  EXPECT_EQ("/d2/r/v2/resources", requests[0]["path"]);
  EXPECT_EQ(std::string("uuid=") + kResource, requests[0]["query"]);
}

TEST_F(Resource_Info_Getter_Test, PercentEncodesTheResourceUuid) {
  const std::string odd = "res 1/\xc3\xa4&x=y";
  put_instances(json_value::array({instance("A_HDB00", "A00", "HDB00", 0, false)}), odd);
  ASSERT_TRUE(getter(odd).base_info(sid_, instance_name_, mgr_name_, number_));
  EXPECT_EQ("A00", sid_);
  json_value requests = server_.requests();
  ASSERT_EQ(1u, requests.size());
  EXPECT_EQ("uuid=res%201%2F%C3%A4%26x%3Dy", requests[0]["query"]);
}

TEST_F(Resource_Info_Getter_Test, NoUsableInstances) {
  put_instances(json_value::array());
  EXPECT_FALSE(getter().base_info(sid_, instance_name_, mgr_name_, number_));
  EXPECT_FALSE(getter().get_instances_info(infos_));
  EXPECT_EQ((std::vector<std::string>{"Lack of instance info\n", "Failed to get instances info from base info\n"}),
            log_.lines());
  log_.clear();

  put_instances(json_value{"a", "b"});
  EXPECT_FALSE(getter().base_info(sid_, instance_name_, mgr_name_, number_));
  EXPECT_EQ(std::vector<std::string>{"Lack of instance info\n"}, log_.lines());
  EXPECT_EQ("unset", sid_);
  log_.clear();
  // Listing nothing is not an error for the list; callers see an empty result.
  EXPECT_TRUE(getter().get_instances_info(infos_));
  EXPECT_TRUE(infos_.empty());
  EXPECT_TRUE(log_.lines().empty());
}

TEST_F(Resource_Info_Getter_Test, MissingOrMistypedMembers) {
  const std::string prefix = "Failed to get HANA resource base info, ";
  ASSERT_TRUE(server_.add_resource(kResource, json_value{{"name", "no instances"}}));
  EXPECT_FALSE(getter().base_info(sid_, instance_name_, mgr_name_, number_));
  EXPECT_FALSE(getter().get_instances_info(infos_));
  ASSERT_TRUE(server_.add_resource(kResource, json_value{{"instances", {{"name", "x"}}}}));
  EXPECT_FALSE(getter().get_instances_info(infos_));
  EXPECT_EQ((std::vector<std::string>{prefix + "member \"instances\" is missing\n",
                                      prefix + "member \"instances\" is missing\n",
                                      prefix + "member \"instances\" is not an array\n"}),
            log_.lines());
  EXPECT_TRUE(infos_.empty());
  log_.clear();

  struct Case {
    const char* member;
    json_value value;  // null: removed
    const char* error;
  };
  const Case cases[] = {
      {"name", 5, "member \"name\" is not a string"},
      {"extended_attrs", nullptr, "member \"extended_attrs\" is missing"},
      {"extended_attrs", "x", "member \"extended_attrs\" is not an object"},
      {"sid", nullptr, "member \"sid\" is missing"},
      {"instance_name", json_value::array(), "member \"instance_name\" is not a string"},
      {"instance_number", "02", "member \"instance_number\" is not an unsigned integer"},
      {"instance_number", -2, "member \"instance_number\" is not an unsigned integer"},
  };
  for (const Case& c : cases) {
    json_value bad = instance("HDB_HDB00", "HDB", "HDB00", 0, false);
    json_value& holder =
        (c.member == std::string("name") || c.member == std::string("extended_attrs")) ? bad : bad["extended_attrs"];
    if (c.value.is_null())
      holder.erase(c.member);
    else
      holder[c.member] = c.value;
    put_instances(json_value::array({bad}));
    log_.clear();
    EXPECT_FALSE(getter().base_info(sid_, instance_name_, mgr_name_, number_)) << c.error;
    EXPECT_EQ(std::vector<std::string>{prefix + c.error + "\n"}, log_.lines());
  }
}

TEST_F(Resource_Info_Getter_Test, InstanceListFailureKeepsWhatWasAppended) {
  json_value no_host = instance("HDB_HDB01", "HDB", "HDB01", 1, true);
  no_host.erase("host_uuid");
  json_value no_mdc = instance("HDB_HDB02", "HDB", "HDB02", 2, true);
  no_mdc["extended_attrs"]["multi_container"] = "yes";
  put_instances(json_value{no_host, instance("HDB_HDB00", "HDB", "HDB00", 0, false)});

  // The base data does not need the host.
  ASSERT_TRUE(getter().base_info(sid_, instance_name_, mgr_name_, number_));
  EXPECT_EQ("HDB01", instance_name_);
  EXPECT_FALSE(getter().get_instances_info(infos_));
  ASSERT_EQ(1u, infos_.size());
  EXPECT_EQ("HDB_HDB01", infos_[0].instance_mgr_name);
  EXPECT_EQ("uuid-HDB_HDB01", infos_[0].uuid);
  EXPECT_EQ("", infos_[0].host_uuid);

  put_instances(json_value{instance("HDB_HDB00", "HDB", "HDB00", 0, false), no_mdc});
  infos_.clear();
  EXPECT_FALSE(getter().get_instances_info(infos_));
  ASSERT_EQ(2u, infos_.size());
  EXPECT_EQ("HDB02", infos_[1].instance_name);
  EXPECT_EQ(2, infos_[1].instance_number);
  EXPECT_EQ((std::vector<std::string>{"Failed to get HANA resource base info, member \"host_uuid\" is missing\n",
                                      "Failed to get HANA resource base info, member \"multi_container\" is not a "
                                      "boolean\n"}),
            log_.lines());
}

TEST_F(Resource_Info_Getter_Test, UnreadableRecord) {
  // Unknown resource: the server answers no rows.
  EXPECT_FALSE(getter("no-such-resource").base_info(sid_, instance_name_, mgr_name_, number_));
  ASSERT_EQ(3u, log_.lines().size());
  EXPECT_EQ("Failed to get HANA resource info\n", log_.lines()[1]);
  EXPECT_EQ("Failed to get HANA resource base info\n", log_.lines()[2]);
  log_.clear();

  // A record that is no JSON object.
  ASSERT_TRUE(server_.admin_post("faults", json_value{{"status", 200}, {"body", json_value{"a string record"}}}));
  json_value info = "untouched";
  EXPECT_FALSE(getter().get_info(info));
  EXPECT_EQ("untouched", info);
  EXPECT_EQ(std::vector<std::string>{"Failed to get HANA resource info\n"}, log_.lines());
  log_.clear();

  // A server that keeps failing is asked 10 more times, then given up on.
  put_instances(json_value::array({instance("HDB_HDB00", "HDB", "HDB00", 0, false)}));
  server_.clear_requests();
  ASSERT_TRUE(server_.fault(100, 503, "/d2/r/v2/resources"));
  EXPECT_FALSE(getter().get_instances_info(infos_));
  EXPECT_EQ(11u, server_.requests().size());
  ASSERT_FALSE(log_.lines().empty());
  EXPECT_EQ("Failed to get HANA resource base info\n", log_.lines().back());
  EXPECT_TRUE(infos_.empty());
}

}  // namespace

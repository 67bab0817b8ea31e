#include <gtest/gtest.h>

#include <sstream>

#include "backint/backint_handler.h"
#include "backint/backint_protocol.h"

using namespace sap_hana;

namespace {

// The line protocol on in-memory streams.
class Memory_Protocol : public Backint_Protocol {
 public:
  explicit Memory_Protocol(const std::string& input = "") : in_(input) { use_streams(&in_, &out_); }
  std::string out() const { return out_.str(); }
  std::ostringstream& stream() { return out_; }

 private:
  std::istringstream in_;
  std::ostringstream out_;
};

// The handler base, for what is left in it: the session.
class Session_Probe : public Backint_Handler {
 public:
  Session_Probe() : Backint_Handler(Backint_Info()) { protocol_.use_streams(nullptr, &out_); }
  bool execute_i() override { return true; }
  std::string out() const { return out_.str(); }
  using Backint_Handler::for_object;
  using Backint_Handler::init_session;

 private:
  std::ostringstream out_;
};

}  // namespace

TEST(BackintProtocol, SoftwareIdDecidesTheProtocolVersion) {
  Memory_Protocol h150("#SOFTWAREID \"backint 1.50\" \"HANA HDB server 2.00.045.00\"\n#PIPE /p\n");
  std::vector<std::string> lines;
  ASSERT_TRUE(h150.read_input_lines(lines));
  EXPECT_EQ(lines, std::vector<std::string>{"#PIPE /p"});
  EXPECT_EQ(h150.backint_version(), "backint 1.50");
  EXPECT_EQ(h150.software_version(), "HANA HDB server 2.00.045.00");
  EXPECT_TRUE(h150.is_v150());
  ASSERT_TRUE(h150.write_out_file_version());
  EXPECT_EQ(h150.out(), "#SOFTWAREID \"backint 1.50\" \"HANA HDB server 2.00.045.00\"\n");

  EXPECT_FALSE(Backint_Protocol::version_is_v150("backint 1.04"));
  EXPECT_FALSE(Backint_Protocol::version_is_v150("backint 150"));
  EXPECT_TRUE(Backint_Protocol::version_is_v150("backint 1.60"));
  EXPECT_TRUE(Backint_Protocol::version_is_v150("2.50"));
}

TEST(BackintProtocol, MissingSoftwareIdIsAnsweredWithEmptyValues) {
  Memory_Protocol h("#NULL x\n");
  std::vector<std::string> lines;
  ASSERT_TRUE(h.read_input_lines(lines));
  ASSERT_TRUE(h.write_out_file_version());
  EXPECT_EQ(h.out(), "#SOFTWAREID \"\" \"\"\n");
  EXPECT_FALSE(h.is_v150());
}

TEST(BackintProtocol, ToolOptionAndSources) {
  std::string option;
  EXPECT_TRUE(Backint_Protocol::parse_tool_option("#TOOLOPTION \"job_uuid=abc;\"", option));
  EXPECT_EQ(option, "job_uuid=abc;");
  EXPECT_FALSE(Backint_Protocol::parse_tool_option("#TOOLOPTIONS \"x\"", option));

  Backint_Protocol::Source s;
  ASSERT_TRUE(
      Backint_Protocol::parse_source("#PIPE /usr/sap/HDB/SYS/global/hdb/backint/SYSTEMDB/COMPLETE_databackup_0_1", s));
  EXPECT_EQ(s.type, "pipe");
  EXPECT_EQ(s.name, "/usr/sap/HDB/SYS/global/hdb/backint/SYSTEMDB/COMPLETE_databackup_0_1");
  EXPECT_FALSE(s.has_size);
  ASSERT_TRUE(Backint_Protocol::parse_source("#FILE \"/tmp/with blank\" 1234 ", s));
  EXPECT_EQ(s.type, "file");
  EXPECT_EQ(s.name, "/tmp/with blank");
  EXPECT_TRUE(s.has_size);
  EXPECT_EQ(s.size, 1234u);
  ASSERT_TRUE(Backint_Protocol::parse_source("#PIPE \"/p/a \\\"q\\\"\"", s));
  EXPECT_EQ(s.name, "/p/a \"q\"");
  EXPECT_FALSE(Backint_Protocol::parse_source("#SOCKET /x", s));
  EXPECT_FALSE(Backint_Protocol::parse_source("#PIPE", s));
  EXPECT_FALSE(Backint_Protocol::parse_source("#PIPE /a /b", s));
  // Trailing blanks and a carriage return are not part of the line.
  ASSERT_TRUE(Backint_Protocol::parse_source("#PIPE /p/data_0_1 77 \t\r", s));
  EXPECT_EQ(s.name, "/p/data_0_1");
  EXPECT_EQ(s.size, 77u);
  ASSERT_TRUE(Backint_Protocol::parse_source("#PIPE \"/p/data 0\"\r", s));
  EXPECT_EQ(s.name, "/p/data 0");
  // What a refused line is answered under.
  EXPECT_EQ(Backint_Protocol::source_name_guess("#PIPE /a /b"), "/a");
  EXPECT_EQ(Backint_Protocol::source_name_guess("#PIPE \"/p/a \\\"q\" x y"), "/p/a \"q");
  EXPECT_EQ(Backint_Protocol::source_name_guess("#PIPE"), "NULL");
  EXPECT_EQ(Backint_Protocol::source_name_guess("#FILE   \r"), "NULL");
}

TEST(BackintProtocol, EntryTokenReading) {
  using Read = Backint_Protocol::Entry_Read;
  Backint_Protocol::Restore_Entry e;
  ASSERT_EQ(Backint_Protocol::read_restore_entry("#EBID \"0123abcd\" \"/p/data\"", e), Read::entry);
  EXPECT_EQ(e.ebid, "0123abcd");  // quoted EBIDs lose their quotes
  EXPECT_EQ(e.name, "/p/data");
  EXPECT_EQ(e.destination, "/p/data");
  ASSERT_EQ(Backint_Protocol::read_restore_entry("#EBID 0123abcd /p/data /dest/x", e), Read::entry);
  EXPECT_EQ(e.ebid, "0123abcd");
  EXPECT_EQ(e.destination, "/dest/x");
  ASSERT_EQ(Backint_Protocol::read_restore_entry("#NULL   \"/p/a b \\\"c\\\"\"   '/d e'", e), Read::entry);
  EXPECT_EQ(e.ebid, "");
  EXPECT_EQ(e.name, "/p/a b \"c\"");
  EXPECT_EQ(e.destination, "'/d e'");  // single quotes are not removed
  EXPECT_EQ(Backint_Protocol::read_restore_entry("#EBID 0123abcd", e), Read::skipped);
  EXPECT_EQ(Backint_Protocol::read_restore_entry("#EBID    ", e), Read::skipped);
  EXPECT_EQ(Backint_Protocol::read_restore_entry("#NULL", e), Read::skipped);
  EXPECT_EQ(Backint_Protocol::read_restore_entry("#PIPE /x", e), Read::skipped);
  // A quote the line ends inside: answered under the name, never waited for.
  ASSERT_EQ(Backint_Protocol::read_restore_entry("#NULL \"/unterminated  name", e), Read::malformed);
  EXPECT_EQ(e.name, "/unterminated  name");
  ASSERT_EQ(Backint_Protocol::read_restore_entry("#NULL /p/x \"/dest", e), Read::malformed);
  EXPECT_EQ(e.name, "/p/x");

  // Inquire and delete lines are read the same way.
  std::string keyword, ebid, name;
  ASSERT_EQ(Backint_Protocol::read_inquire_entry("#EBID \"ab12\" \"/p/two  blanks\" extra", keyword, ebid, name),
            Read::entry);
  EXPECT_EQ(keyword, "#EBID");
  EXPECT_EQ(ebid, "ab12");
  EXPECT_EQ(name, "/p/two  blanks");
  ASSERT_EQ(Backint_Protocol::read_inquire_entry("#EBID \"ab12\"", keyword, ebid, name), Read::entry);
  EXPECT_EQ(ebid, "ab12");
  EXPECT_EQ(name, "");
  EXPECT_EQ(Backint_Protocol::read_inquire_entry("#EBID", keyword, ebid, name), Read::skipped);
  ASSERT_EQ(Backint_Protocol::read_inquire_entry("#NULL", keyword, ebid, name), Read::entry);
  EXPECT_EQ(keyword, "#NULL");
  EXPECT_EQ(name, "");
  ASSERT_EQ(Backint_Protocol::read_inquire_entry("#OTHER /p/log_backup_0_0_0_0 /p/y", keyword, ebid, name),
            Read::entry);
  EXPECT_EQ(name, "/p/log_backup_0_0_0_0");
  ASSERT_EQ(Backint_Protocol::read_inquire_entry("#EBID ab12 \"/p/open", keyword, ebid, name), Read::malformed);
  EXPECT_EQ(name, "/p/open");
}

TEST(BackintProtocol, OutputLinesEscapeFileNames) {
  Memory_Protocol h;
  h.handle_version_text("#SOFTWAREID \"backint 1.50\" \"HANA\"");
  h.write_saved("e1", "/p/a\"b", 42);
  h.write_restored("e1", "/p/x");
  h.write_restore_notfound("/p/x");
  h.write_backup("e1", "/p/x", "2020-08-21T10:00:00.000Z");
  h.write_inquire_notfound("e1", "");
  h.write_inquire_notfound("", "/p/x");
  h.write_deleted("e1", "/p/x");
  h.write_delete_notfound("e1", "/p/x");
  h.write_error("/p/\"q\"", "Failed %d\n", 7);
  h.write_debug("no newline ");
  h.write_error("NULL", "joined");
  EXPECT_EQ(h.out(),
            "#SAVED \"e1\" \"/p/a\\\"b\" 42\n"
            "#RESTORED \"e1\" \"/p/x\"\n"
            "#NOTFOUND \"/p/x\"\n"
            "#BACKUP \"e1\" \"/p/x\" \"2020-08-21T10:00:00.000Z\"\n"
            "#NOTFOUND \"e1\"\n"
            "#NOTFOUND \"/p/x\"\n"
            "#DELETED \"e1\" \"/p/x\"\n"
            "#NOTFOUND \"e1\" \"/p/x\"\n"
            "#DEBUG Failed 7\n#ERROR \"/p/\\\"q\\\"\"\n"
            "#DEBUG no newline \n#DEBUG joined\n#ERROR \"NULL\"\n");
  EXPECT_TRUE(h.error_written());

  Memory_Protocol h104;
  h104.write_backup("e1", "/p/x", "2020-08-21T10:00:00.000Z");
  h104.write_debug("only a debug line");
  EXPECT_EQ(h104.out(), "#BACKUP \"e1\" \"/p/x\"\n#DEBUG only a debug line\n");
  EXPECT_FALSE(h104.error_written());
}

TEST(BackintProtocol, NothingIsWrittenToAFailedStream) {
  Memory_Protocol h;
  h.stream().setstate(std::ios::badbit);
  EXPECT_FALSE(h.write_saved("e", "f", 1));
  EXPECT_FALSE(h.write_error("f", "x\n"));
}

TEST(BackintProtocol, UserIdsAndKinds) {
  std::string database = "keep", sid;
  Backint_Handler::parse_userid("DB_A@H00", database, sid);
  EXPECT_EQ(database, "DB_A");
  EXPECT_EQ(sid, "H00");
  database = "keep";
  Backint_Handler::parse_userid("H00", database, sid);
  EXPECT_EQ(database, "keep");
  EXPECT_EQ(sid, "H00");
  EXPECT_TRUE(Backint_Handler::is_catalog("log_backup_0_0_0_0"));
  EXPECT_TRUE(Backint_Handler::is_log("log_backup_0_0_0_0"));
  EXPECT_TRUE(Backint_Handler::is_log("log_backup_1_0_5_9.77"));
  EXPECT_FALSE(Backint_Handler::is_log("X_databackup_0_1"));
}

TEST(BackintProtocol, GeneratedIdsAreDistinctTimeBasedHex) {
  std::string a, b;
  ASSERT_TRUE(Backint_Handler::generate_uuid(a));
  ASSERT_TRUE(Backint_Handler::generate_uuid(b));
  EXPECT_EQ(a.size(), 32u);
  EXPECT_NE(a, b);
  EXPECT_EQ(a.find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_EQ(a[12], '1');  // version 1
}

TEST(BackintProtocol, SessionNeedsTheServerAddress) {
  Session_Probe h;
  EXPECT_FALSE(h.init_session());
  EXPECT_EQ(h.out(), "#DEBUG Failed to create session: failed to get backupd host info\n#ERROR \"NULL\"\n");
}

TEST(BackintHandler, AnExceptionFailsOnlyItsObjectWithAnErrorPair) {
  Session_Probe h;
  EXPECT_FALSE(h.for_object("/p/a b", []() -> bool { throw std::bad_alloc(); }));
  EXPECT_TRUE(h.for_object("/p/c", [] { return true; }));
  EXPECT_EQ(h.out(), "#DEBUG Unexpected failure: std::bad_alloc\n#ERROR \"/p/a b\"\n");
}

#include "job/restore_job_source.h"

namespace sap_hana {

namespace {

// Every token goes through here; the first refusal makes the whole
// generate() fail.
class Gen {
 public:
  explicit Gen(yajl_gen gen) : gen_(gen) {}
  Gen& open() { return check(yajl_gen_map_open(gen_)); }
  Gen& close() { return check(yajl_gen_map_close(gen_)); }
  Gen& open_array() { return check(yajl_gen_array_open(gen_)); }
  Gen& close_array() { return check(yajl_gen_array_close(gen_)); }
  Gen& str(const std::string& text) {
    return check(yajl_gen_string(gen_, reinterpret_cast<const unsigned char*>(text.data()), text.size()));
  }
  Gen& member(const char* key, const std::string& value) { return str(key).str(value); }
  Gen& member_unless_empty(const char* key, const std::string& value) {
    return value.empty() ? *this : member(key, value);
  }
  int result() const { return ok_ ? 0 : -1; }

 private:
  Gen& check(yajl_gen_status status) {
    if (status != yajl_gen_status_ok) ok_ = false;
    return *this;
  }
  yajl_gen gen_;
  bool ok_ = true;
};

}  // namespace

void Restore_Job_Source::Entry_Item::reset() { *this = Entry_Item(); }

Restore_Job_Source::~Restore_Job_Source() = default;

int Restore_Job_Source::generate(yajl_gen gen) const {
  Gen g(gen);
  // "name" and "entries" are written even when empty: the parser requires
  // them, and a definition written back must parse again.
  g.open().member("id", id_).member("name", name_);
  g.str("entries").open_array();
  for (const Entry_Item& e : entries_) {
    g.open().member_unless_empty("catalog_uuid", e.catalog_uuid);
    g.str("original").open().member("sid", e.origin.sid).member("database", e.origin.database).close();
    g.str("restore_as").open().member("database", e.target.database);
    g.member_unless_empty("timepoint", e.target.timepoint).member_unless_empty("lifeline", e.target.lifeline);
    g.close().close();
  }
  g.close_array();
  // The pools choose which copies are restored: a definition written back
  // without them would restore from other ones.
  g.member_unless_empty("pool_uuid", pool_uuid_).member_unless_empty("log_pool_uuid", log_pool_uuid_);
  return g.close().result();
}

}  // namespace sap_hana

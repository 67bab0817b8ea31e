#ifndef AGENT_DEFAULT_BACKUP_JOB_SOURCE_H
#define AGENT_DEFAULT_BACKUP_JOB_SOURCE_H

#include <string>
#include <vector>

#include "agent/job/job_source.h"

/// The source of a backup job: the UUID of the resource it backs up and
/// the entries of that resource to back up, each a path below the
/// resource's kind ("hana/HDB00/SYSTEMDB").
///
/// JSON form (parsed by Default_Backup_Job_Source_Parser):
///   {"id": "<resource uuid>", "entries": ["hana/HDB00/SYSTEMDB", ...]}
class Default_Backup_Job_Source : public Job_Source {
 public:
  const std::string& id() const { return id_; }
  const std::vector<std::string>& entries() const { return entries_; }

  void id(const std::string& id) { id_ = id; }
  std::vector<std::string>& entries() { return entries_; }

 private:
  std::string id_;
  std::vector<std::string> entries_;
};

#endif

#ifndef AGENT_BACKUP_SET_STORAGE_H
#define AGENT_BACKUP_SET_STORAGE_H

#include <cstdint>
#include <string>

/// Where a backup set's data lies: the job target (the storage pool's UUID)
/// and how many bytes the set occupies there.
struct Backup_Set_Storage {
  std::string target_id;
  std::uint64_t storage_size = 0;

  Backup_Set_Storage() = default;
  Backup_Set_Storage(std::string target, std::uint64_t size) : target_id(std::move(target)), storage_size(size) {}
};

#endif

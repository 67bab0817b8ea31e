#ifndef AGENT_FILE_UTILS_H
#define AGENT_FILE_UTILS_H

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

/// True when `path` names a regular file (links followed).
bool is_regular_file(const char* path);
/// True when `path` names a directory (links followed).
bool is_directory(const char* path);

/// Creates `path` and every missing parent with `mode`. 0 on success (also
/// when it exists as a directory), -1 with errno set otherwise.
int mkdir_p(const char* path, mode_t mode);
/// As mkdir_p, but each directory this call creates gets exactly `mode`
/// (set bits included, whatever the umask), and `created` lists them, the
/// outermost first. A directory made at the same time by another process
/// counts as existing. On failure `created` still lists what was made.
int make_directories(const std::string& path, mode_t mode, std::vector<std::string>& created);

/// Writes the directory part of `path` (everything before the last "/") into
/// `buffer`: "/" for "/x", "." for a name without "/". Returns `buffer`, or
/// null when it does not fit.
char* dirname_r(const char* path, char* buffer, std::size_t size);
/// The directory part of `path`, as dirname_r.
std::string dirname_string(const std::string& path);

/// Changes owner (user name, unchanged when null or empty) and group (group
/// name, unchanged when null or empty) of `path`, and of everything below it
/// when `recursive` is non-zero. Returns 1 on success, 0 on failure.
/// Symbolic links are changed themselves and never followed, neither
/// `path` itself nor anything below it: each directory is opened relative
/// to its parent's descriptor with O_NOFOLLOW, so a link swapped in for a
/// directory while the walk runs is not entered (safe as root on trees
/// that other users can write).
int chown_r(const char* path, const char* user, const char* group, int recursive);

/// Reads until `size` bytes have come or the end of the data is reached,
/// resuming after interruptions. The number of bytes read (less than `size`
/// only at the end), or -1 with errno set.
ssize_t read_full(int fd, char* buffer, std::size_t size);

/// Syncs directory `dir` itself (its entries, not the files in it). False
/// with errno set when it cannot be opened or synced.
bool sync_directory(const std::string& dir);

/// Looks up a user's ids. False when the user does not exist.
bool lookup_user(const char* user, uid_t& uid, gid_t& gid);
/// Looks up a group's id. False when the group does not exist.
bool lookup_group(const char* group, gid_t& gid);

#endif

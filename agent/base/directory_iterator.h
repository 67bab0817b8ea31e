#ifndef AGENT_DIRECTORY_ITERATOR_H
#define AGENT_DIRECTORY_ITERATOR_H

#include <dirent.h>

#include <string>

/// Lists the entries of one directory ("." and ".." excluded). The callback
/// gets the entry name and its dirent; returning false stops the listing.
/// Returns the number of entries visited, or -1 (errno set) when the
/// directory cannot be opened.
template <typename Callback>
class Directory_Iterator_T {
 public:
  explicit Directory_Iterator_T(Callback callback) : callback_(callback) {}
  int iterate(const std::string& directory) {
    DIR* dir = ::opendir(directory.c_str());
    if (dir == nullptr) return -1;
    int count = 0;
    while (struct dirent* entry = ::readdir(dir)) {
      const char* name = entry->d_name;
      if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
      ++count;
      if (!callback_(std::string(name), *entry)) break;
    }
    ::closedir(dir);
    return count;
  }

 private:
  Callback callback_;
};

template <typename Callback>
int iterate_directory(const std::string& directory, Callback callback) {
  return Directory_Iterator_T<Callback>(callback).iterate(directory);
}

#endif

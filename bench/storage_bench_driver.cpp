// Drives one storage transfer for the storage benchmark and reports its
// figures on standard output:
//   storage_bench_driver put <pool> <source> <object> <none|zstd|lzop> <level>
//   storage_bench_driver get <pool> <object> <destination>
// Output lines: "seconds <s>", "original_bytes <n>", "storage_bytes <n>",
// "peak_rss_kib <n>". Exit status 0 on success, 1 with the error on stderr.
#include <fcntl.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "agent/storage/client_io_ex.h"

namespace {

double now() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

int usage() {
  std::fprintf(stderr,
               "usage: storage_bench_driver put <pool> <source> <object> <none|zstd|lzop> <level>\n"
               "       storage_bench_driver get <pool> <object> <destination>\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  std::string mode = argv[1];
  Client_IO_Ex io;
  Client_IO_Ex::Options options;
  options.overwrite = true;
  bool ok = false;
  double start = 0;
  if (mode == "put" && argc == 7) {
    options.compression_method = compression_name_to_value(argv[5], std::strlen(argv[5]));
    options.compression_level = std::atoi(argv[6]);
    if (!io.connect(argv[2], options)) {
      std::fprintf(stderr, "%s\n", io.error().c_str());
      return 1;
    }
    start = now();
    ok = io.put_file(argv[3], argv[4], false, O_CLOEXEC, 8192, nullptr);
  } else if (mode == "get" && argc == 5) {
    if (!io.connect(argv[2], options)) {
      std::fprintf(stderr, "%s\n", io.error().c_str());
      return 1;
    }
    start = now();
    ok = io.get_file(argv[3], argv[4], O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 8192, nullptr);
  } else {
    return usage();
  }
  double elapsed = now() - start;
  if (!ok) {
    std::fprintf(stderr, "%s\n", io.error().c_str());
    return 1;
  }
  // VmHWM, not getrusage(): ru_maxrss survives execve and would report the
  // parent's size when the parent (the benchmark script) is the bigger one.
  long peak_kib = -1;
  if (FILE* status = std::fopen("/proc/self/status", "r")) {
    char line[256];
    while (std::fgets(line, sizeof line, status)) {
      if (std::sscanf(line, "VmHWM: %ld kB", &peak_kib) == 1) break;
    }
    std::fclose(status);
  }
  std::printf("seconds %.6f\noriginal_bytes %llu\nstorage_bytes %llu\npeak_rss_kib %ld\n", elapsed,
              static_cast<unsigned long long>(io.original_size()), static_cast<unsigned long long>(io.storage_size()),
              peak_kib);
  return 0;
}

#include "process_probe.h"

#include <dirent.h>
#include <malloc.h>
#include <unistd.h>

#include <cstdio>

namespace reliability_test {
int EntriesIn(const std::string& Folder) {
  DIR* d = ::opendir(Folder.c_str());
  if (!d) return -1;
  int n = 0;
  while (dirent* e = ::readdir(d))
    if (e->d_name[0] != '.') ++n;
  ::closedir(d);
  return n;
}

int64_t ResidentBytes() {
  std::FILE* f = std::fopen("/proc/self/statm", "r");
  if (!f) return -1;
  long long size = 0, resident = 0;
  const int got = std::fscanf(f, "%lld %lld", &size, &resident);
  std::fclose(f);
  if (got != 2) return -1;
  return resident * ::sysconf(_SC_PAGESIZE);
}

int64_t TrimmedResidentBytes() {
  ::malloc_trim(0);
  return ResidentBytes();
}

int ThreadCount() { return EntriesIn("/proc/self/task"); }

// The descriptor opendir holds while counting is not counted.
int OpenFileCount() { return EntriesIn("/proc/self/fd") - 1; }

}  // namespace reliability_test

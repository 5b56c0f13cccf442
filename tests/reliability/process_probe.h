// What the reliability tests and the soak read about their own process: resident
// memory, threads and open files, from /proc.
#pragma once

#include <cstdint>
#include <string>

namespace reliability_test {

// Resident memory of this process in bytes.
int64_t ResidentBytes();
// The same after the allocator has handed its free memory back to the system. The
// allocator keeps freed memory in per-thread arenas, so with a pool of worker
// threads the plain figure says more about its caching than about what is in use.
int64_t TrimmedResidentBytes();
// Entries of Folder other than the hidden ones; -1 when it cannot be read.
int EntriesIn(const std::string& Folder);
// Threads of this process, UDT4's own included.
int ThreadCount();
// Open file descriptors of this process.
int OpenFileCount();

}  // namespace reliability_test

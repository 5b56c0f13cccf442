// TFileStream: a file opened read-only, read in pieces by the file sender.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "sysutils.h"

// A file that could not be opened.
class EFOpenError : public Exception {
 public:
  using Exception::Exception;
};

// A read-only file, read ahead in blocks: the sender asks for 2048 bytes at a
// time, and one system call per piece cost as much as the piece's send.
// Not thread-safe.
class TFileStream {
 public:
  // Opens the file at path (UTF-8); throws EFOpenError naming the path and the
  // system's reason when it cannot be opened.
  explicit TFileStream(const std::string& path);
  ~TFileStream();
  TFileStream(const TFileStream&) = delete;
  TFileStream& operator=(const TFileStream&) = delete;

  // The file's current size in bytes; -1 when it cannot be read.
  int64_t Size() const noexcept;
  // Moves the read position; false on failure.
  bool Seek(int64_t offset) noexcept;
  // Reads up to count bytes; the bytes read, 0 at the end of the file or on a
  // failure. Fewer than count only where the file ends or fails.
  int32_t Read(void* buf, int32_t count) noexcept;
  // Closes the file; later reads return 0.
  void Close() noexcept;

 private:
  static constexpr int32_t kReadAhead = 64 * 1024;
  // Fills the read-ahead block; false at the end of the file or on a failure.
  bool Refill() noexcept;

  int FFd = -1;
  std::unique_ptr<char[]> FBlock = std::make_unique_for_overwrite<char[]>(kReadAhead);
  int32_t FBlockUsed = 0;  // bytes of the block already handed out
  int32_t FBlockSize = 0;  // bytes the block holds
};

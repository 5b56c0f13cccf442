// TReceivedFile: a file the server stores a transfer in, created in one folder
// under a bare name and held exclusively while it is written.
#pragma once

#include <cstdint>
#include <string>

#include "sysutils.h"

// A name the server does not store a file under: empty, "." or "..", with a
// folder part, a control character, the program's own name, or a link. The
// message says why.
class ERefusedFileName : public Exception {
 public:
  using Exception::Exception;
};

// A file that cannot be created or written.
class EReceivedFileError : public Exception {
 public:
  using Exception::Exception;
};

// The folder of the program's own executable, and its file name.
std::string ExecutableFolder();
std::string ExecutableName();

// Why Name is refused as a file name, or empty when it is acceptable. Any thread.
std::u16string RefusedNameReason(const std::u16string& Name);

// One received file, open for writing from creation to destruction. Until then
// no other conversation of this process can create the same name in the same
// folder, and other processes are kept out by an exclusive lock.
class TReceivedFile {
 public:
  // Creates Name in Folder, or empties the file of that name, never following a
  // link. Throws ERefusedFileName for a refused name or a link, EReceivedFileError
  // when the file cannot be created or is being written already. Any thread.
  TReceivedFile(const std::string& Folder, const std::u16string& Name);
  // Closes the file and lets others create the name again.
  ~TReceivedFile();
  TReceivedFile(const TReceivedFile&) = delete;
  TReceivedFile& operator=(const TReceivedFile&) = delete;

  // Writes all Count bytes at the end of what was written; throws
  // EReceivedFileError when they cannot all be written.
  void Write(const void* Buf, int32_t Count);

 private:
  void Release() noexcept;

  int FHandle = -1;
  std::string FKey;  // folder and name, as held in the registry of names being written
};

// TReceivedFile: a file the server receives into one folder under a bare name.
// The bytes go to a temporary file in a hidden sub-folder, and the name is
// replaced only once the whole file is there: whatever stood under the name
// stays untouched until then, and a reader of the old file keeps reading it
// whole. A transfer that ends early keeps its bytes under "<name>.part".
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "sysutils.h"

// A name the server does not store a file under: empty, "." or "..", with a
// folder part, a control character, the program's own name, the folder of
// files being received, or a link. The message says why.
class ERefusedFileName : public Exception {
 public:
  using Exception::Exception;
};

// A file that cannot be created or written.
class EReceivedFileError : public Exception {
 public:
  using Exception::Exception;
};

// True for the C0 and C1 control characters and DEL: no stored name holds
// one, and a log line shows them escaped.
constexpr bool IsControlCharacter(char16_t c) noexcept {
  return c < 0x20 || (c >= 0x7F && c <= 0x9F);
}

// Why Name is refused as a file name, or empty when it is acceptable. Any thread.
std::u16string RefusedNameReason(const std::u16string& Name);

// The hidden sub-folder of a receive folder that holds the files being received.
inline constexpr char kIncomingFolderName[] = ".udtbench-incoming";
// The suffix of the name a cut transfer keeps its bytes under.
inline constexpr char16_t kPartSuffix[] = u".part";

// How one file request ended.
enum class TFileOutcome {
  Receiving,  // still open
  Complete,   // every announced byte stored under the name
  Cut,        // ended early; what arrived is kept under the partial name if it could be
  Refused,    // never opened: a refused name, or a file that cannot be created
};

// One file being received. Write takes each piece as it arrives; Commit puts
// the whole file under its name, Abandon keeps what arrived under the partial
// name. Destroyed without either, it leaves nothing behind. One thread at a time.
class TReceivedFile {
 public:
  // Starts receiving Name in Folder. Throws ERefusedFileName for a refused name
  // or a link, EReceivedFileError when the name holds something that is not a
  // plain writable file, a file another process holds locked, or when the
  // temporary file cannot be created. Any thread.
  TReceivedFile(const std::string& Folder, const std::u16string& Name);
  ~TReceivedFile();
  TReceivedFile(const TReceivedFile&) = delete;
  TReceivedFile& operator=(const TReceivedFile&) = delete;

  // Adds Count bytes at the end of what was received, through a buffer; throws
  // EReceivedFileError when they cannot be written. Only before Commit or Abandon.
  void Write(const void* Buf, int32_t Count);
  // Writes out the buffer and replaces the name with the file; throws
  // EReceivedFileError when that fails, leaving the name untouched.
  void Commit();
  // Writes out what it can and keeps the bytes under the partial name,
  // replacing a file of that name. False when nothing could be kept.
  bool Abandon() noexcept;

  const std::u16string& Name() const noexcept { return FName; }
  TFileOutcome Outcome() const noexcept { return FOutcome; }
  // Bytes handed to Write so far.
  int64_t Received() const noexcept { return FReceived; }
  // The name a cut transfer is kept under.
  std::u16string PartName() const;

 private:
  std::optional<mode_t> CheckTarget();
  void OpenIncomingFolder();
  void CreateTemporary(std::optional<mode_t> Mode);
  void Flush();
  [[noreturn]] void Fail(const char* What, int Error) const;
  void Release() noexcept;

  std::u16string FName;
  std::string FTarget;              // the name in the file system's encoding
  int FFolder = -1;                 // the receive folder
  int FIncoming = -1;               // its hidden sub-folder
  int FHandle = -1;                 // the temporary file
  std::string FTemporary;           // its name in FIncoming, empty once renamed or removed
  std::unique_ptr<char[]> FBuffer;  // bytes not yet written to FHandle
  size_t FFilled = 0;
  int64_t FReceived = 0;
  TFileOutcome FOutcome = TFileOutcome::Receiving;
};

#include "received_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <mutex>
#include <optional>
#include <set>

#include "app_support.h"

namespace {

// Large enough that a file goes to the disk in few calls, not one per piece.
constexpr size_t kWriteBufferSize = 64 * 1024;
// A temporary file left this long without a writer holding it belongs to a
// process that died.
constexpr time_t kLeftoverAge = 60;
constexpr char kTemporarySuffix[] = ".tmp";

std::string ErrnoText(int e) { return std::strerror(e); }

bool WriteAll(int Handle, const char* P, size_t Count) {
  while (Count > 0) {
    const ssize_t r = ::write(Handle, P, Count);
    if (r == -1 && errno == EINTR) continue;
    if (r <= 0) {
      if (r == 0) errno = EIO;
      return false;
    }
    P += r;
    Count -= static_cast<size_t>(r);
  }
  return true;
}

// Removes the temporary files of writers that are gone: each writer holds a
// lock on its own file for as long as it lives, so a file that can be locked
// and has not changed for a while has no writer left.
void RemoveLeftovers(int Incoming) {
  const int handle = ::dup(Incoming);
  if (handle == -1) return;
  DIR* dir = ::fdopendir(handle);
  if (!dir) {
    ::close(handle);
    return;
  }
  const time_t now = std::time(nullptr);
  while (const dirent* e = ::readdir(dir)) {
    const std::string name = e->d_name;
    if (name.size() <= std::strlen(kTemporarySuffix) ||
        name.compare(name.size() - std::strlen(kTemporarySuffix), std::string::npos,
                     kTemporarySuffix) != 0)
      continue;
    const int f = ::openat(Incoming, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (f == -1) continue;
    struct stat st{};
    if (::fstat(f, &st) == 0 && S_ISREG(st.st_mode) && now - st.st_mtime > kLeftoverAge &&
        ::flock(f, LOCK_EX | LOCK_NB) == 0)
      ::unlinkat(Incoming, name.c_str(), 0);
    ::close(f);
  }
  ::closedir(dir);
}

// Each receive folder is swept once per process, when it is first used.
void RemoveLeftoversOnce(const std::string& Folder, int Incoming) {
  static std::mutex lock;
  static std::set<std::string> swept;  // guarded by lock
  {
    std::lock_guard<std::mutex> g(lock);
    if (!swept.insert(Folder).second) return;
  }
  RemoveLeftovers(Incoming);
}

}  // namespace

std::u16string RefusedNameReason(const std::u16string& Name) {
  if (Name.empty()) return u"empty name";
  if (Name == u"." || Name == u"..") return u"not a file name";
  for (char16_t c : Name) {
    if (c == u'/' || c == u'\\') return u"holds a folder part";
    if (IsControlCharacter(c)) return u"holds a control character";
  }
  const std::string own = ExecutableName();
  if (!own.empty() && Name == Utf8ToUtf16(own)) return u"the program's own name";
  return {};
}

TReceivedFile::TReceivedFile(const std::string& Folder, const std::u16string& Name) : FName(Name) {
  if (std::u16string why = RefusedNameReason(Name); !why.empty())
    throw ERefusedFileName(why);
  FTarget = Utf16ToUtf8(Name);
  if (FTarget == kIncomingFolderName) throw ERefusedFileName(u"the folder of files being received");
  try {
    FFolder = ::open(Folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (FFolder == -1) Fail("Cannot create file", errno);
    const std::optional<mode_t> mode = CheckTarget();
    OpenIncomingFolder();
    RemoveLeftoversOnce(Folder, FIncoming);
    CreateTemporary(mode);
    FBuffer.reset(new char[kWriteBufferSize]);
  } catch (...) {
    Release();
    throw;
  }
}

TReceivedFile::~TReceivedFile() { Release(); }

// The name may hold nothing yet, or a plain file with no other name that this
// user may write and no other process holds locked. Every call is relative to
// the folder and follows no link, so no name leads outside it. Returns the old
// file's permissions, which the new one keeps; none when there is no old file.
std::optional<mode_t> TReceivedFile::CheckTarget() {
  // O_NONBLOCK keeps a FIFO of that name from blocking the open.
  const int handle = ::openat(FFolder, FTarget.c_str(),
                              O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (handle == -1) {
    if (errno == ENOENT) return std::nullopt;
    if (errno == ELOOP) throw ERefusedFileName(u"a link");
    Fail("Cannot create file", errno);
  }
  struct stat st{};
  int error = ::fstat(handle, &st) == -1 ? errno : 0;
  if (!error && !S_ISREG(st.st_mode)) error = EINVAL;
  // A second name for the same file may sit outside the folder.
  const bool otherName = !error && st.st_nlink > 1;
  if (!error && !otherName && ::flock(handle, LOCK_SH | LOCK_NB) == -1) error = errno;
  ::close(handle);
  if (otherName) throw ERefusedFileName(u"a file with another name elsewhere");
  if (error) Fail("Cannot create file", error);
  return st.st_mode & 0777;
}

void TReceivedFile::OpenIncomingFolder() {
  if (::mkdirat(FFolder, kIncomingFolderName, 0700) == -1 && errno != EEXIST)
    Fail("Cannot create file", errno);
  FIncoming = ::openat(FFolder, kIncomingFolderName, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (FIncoming == -1) Fail("Cannot create file", errno);
}

void TReceivedFile::CreateTemporary(std::optional<mode_t> Mode) {
  static std::atomic<unsigned> counter{0};
  const std::string prefix = std::to_string(::getpid()) + '-';
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = prefix + std::to_string(counter++) + kTemporarySuffix;
    const int handle = ::openat(FIncoming, name.c_str(),
                                O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0666);
    if (handle == -1) {
      if (errno == EEXIST) continue;  // another process with the same number, in another namespace
      Fail("Cannot create file", errno);
    }
    FHandle = handle;
    FTemporary = std::move(name);
    if (Mode) ::fchmod(FHandle, *Mode);  // exactly, whatever the umask
    // Tells a later sweep that this file still has its writer.
    ::flock(FHandle, LOCK_EX | LOCK_NB);
    return;
  }
  Fail("Cannot create file", EEXIST);
}

void TReceivedFile::Fail(const char* What, int Error) const {
  throw EReceivedFileError(AnsiToUnicode(What) + u" \"" + FName + u"\". " +
                           AnsiToUnicode(ErrnoText(Error)));
}

void TReceivedFile::Write(const void* Buf, int32_t Count) {
  const char* p = static_cast<const char*>(Buf);
  while (Count > 0) {
    const size_t n = std::min(kWriteBufferSize - FFilled, static_cast<size_t>(Count));
    std::memcpy(FBuffer.get() + FFilled, p, n);
    FFilled += n;
    FReceived += static_cast<int64_t>(n);
    p += n;
    Count -= static_cast<int32_t>(n);
    if (FFilled == kWriteBufferSize) Flush();
  }
}

void TReceivedFile::Flush() {
  const size_t n = FFilled;
  FFilled = 0;  // what cannot be written now is lost either way
  if (n > 0 && !WriteAll(FHandle, FBuffer.get(), n))
    throw EReceivedFileError("Stream write error. " + ErrnoText(errno));
}

void TReceivedFile::Commit() {
  Flush();
  // Replacing a file: the new bytes reach the disk before the name points at
  // them, so even a crash leaves one whole file under the name.
  struct stat st{};
  if (::fstatat(FFolder, FTarget.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && ::fdatasync(FHandle) == -1)
    throw EReceivedFileError("Stream write error. " + ErrnoText(errno));
  if (::renameat(FIncoming, FTemporary.c_str(), FFolder, FTarget.c_str()) == -1)
    Fail("Cannot store file", errno);
  FTemporary.clear();
  FOutcome = TFileOutcome::Complete;
  Release();
}

bool TReceivedFile::Abandon() noexcept {
  if (FOutcome != TFileOutcome::Receiving) return false;
  FOutcome = TFileOutcome::Cut;
  try {
    Flush();
  } catch (const EReceivedFileError&) {
    // The file keeps what was written before.
  }
  const std::string part = FTarget + Utf16ToUtf8(kPartSuffix);
  const bool kept = ::renameat(FIncoming, FTemporary.c_str(), FFolder, part.c_str()) == 0;
  if (kept) FTemporary.clear();
  Release();
  return kept;
}

std::u16string TReceivedFile::PartName() const { return FName + kPartSuffix; }

void TReceivedFile::Release() noexcept {
  if (!FTemporary.empty()) {
    ::unlinkat(FIncoming, FTemporary.c_str(), 0);
    FTemporary.clear();
  }
  for (int* handle : {&FHandle, &FIncoming, &FFolder}) {
    if (*handle != -1) ::close(*handle);
    *handle = -1;
  }
  FBuffer.reset();
}

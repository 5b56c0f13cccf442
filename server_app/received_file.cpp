#include "received_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <set>
#include <system_error>

namespace {

std::mutex g_writingLock;
std::set<std::string> g_writing;  // guarded by g_writingLock: folder + '/' + name

std::string ErrnoText(int e) { return std::strerror(e); }

[[noreturn]] void CannotCreate(const std::u16string& Name, int e) {
  throw EReceivedFileError(u"Cannot create file \"" + Name + u"\". " +
                           AnsiToUnicode(ErrnoText(e)));
}

bool IsControl(char16_t c) { return c < 0x20 || (c >= 0x7F && c <= 0x9F); }

std::filesystem::path OwnExecutable() {
  std::error_code ec;
  std::filesystem::path p = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::filesystem::path() : p;
}

}  // namespace

std::string ExecutableFolder() { return OwnExecutable().parent_path().string(); }

std::string ExecutableName() { return OwnExecutable().filename().string(); }

std::u16string RefusedNameReason(const std::u16string& Name) {
  if (Name.empty()) return u"empty name";
  if (Name == u"." || Name == u"..") return u"not a file name";
  for (char16_t c : Name) {
    if (c == u'/' || c == u'\\') return u"holds a folder part";
    if (IsControl(c)) return u"holds a control character";
  }
  const std::string own = ExecutableName();
  if (!own.empty() && Name == Utf8ToUtf16(own)) return u"the program's own name";
  return {};
}

TReceivedFile::TReceivedFile(const std::string& Folder, const std::u16string& Name) {
  if (std::u16string why = RefusedNameReason(Name); !why.empty())
    throw ERefusedFileName(why);
  const std::string name = Utf16ToUtf8(Name);
  FKey = Folder + '/' + name;
  {
    std::lock_guard<std::mutex> g(g_writingLock);
    if (!g_writing.insert(FKey).second) {
      FKey.clear();
      CannotCreate(Name, EBUSY);
    }
  }
  try {
    const int dir = ::open(Folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir == -1) CannotCreate(Name, errno);
    // Relative to the folder and without following a link, so no name can lead
    // outside it. Not truncated yet: another process may hold the file locked.
    // O_NONBLOCK keeps a FIFO of that name from blocking the open.
    FHandle = ::openat(dir, name.c_str(),
                       O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0666);
    const int openError = errno;
    ::close(dir);
    if (FHandle == -1) {
      if (openError == ELOOP) throw ERefusedFileName(u"a link");
      CannotCreate(Name, openError);
    }
    struct stat st{};
    if (::fstat(FHandle, &st) == -1) CannotCreate(Name, errno);
    if (!S_ISREG(st.st_mode)) CannotCreate(Name, EINVAL);
    // A second name for the same file may sit outside the folder.
    if (st.st_nlink > 1) throw ERefusedFileName(u"a file with another name elsewhere");
    if (::flock(FHandle, LOCK_EX | LOCK_NB) == -1) CannotCreate(Name, errno);
    if (::ftruncate(FHandle, 0) == -1) CannotCreate(Name, errno);
    const int flags = ::fcntl(FHandle, F_GETFL);
    if (flags != -1) ::fcntl(FHandle, F_SETFL, flags & ~O_NONBLOCK);
  } catch (...) {
    Release();
    throw;
  }
}

TReceivedFile::~TReceivedFile() { Release(); }

void TReceivedFile::Release() noexcept {
  if (FHandle != -1) {
    ::close(FHandle);  // also drops the lock
    FHandle = -1;
  }
  if (!FKey.empty()) {
    std::lock_guard<std::mutex> g(g_writingLock);
    g_writing.erase(FKey);
    FKey.clear();
  }
}

void TReceivedFile::Write(const void* Buf, int32_t Count) {
  const char* p = static_cast<const char*>(Buf);
  int32_t done = 0;
  while (done < Count) {
    ssize_t r = ::write(FHandle, p + done, static_cast<size_t>(Count - done));
    if (r == -1 && errno == EINTR) continue;
    if (r <= 0)
      throw EReceivedFileError("Stream write error. " + ErrnoText(r == -1 ? errno : EIO));
    done += static_cast<int32_t>(r);
  }
}

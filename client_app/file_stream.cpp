#include "file_stream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

TFileStream::TFileStream(const std::string& path) {
  FFd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (FFd < 0) {
    int err = errno;
    throw EFOpenError(Utf8ToUtf16("Cannot open file \"" + path + "\". " + std::strerror(err)));
  }
  // A folder opens read-only too, but is no file to send.
  struct stat st {};
  int err = fstat(FFd, &st) != 0 ? errno : S_ISDIR(st.st_mode) ? EISDIR : 0;
  if (err != 0) {
    ::close(FFd);
    FFd = -1;
    throw EFOpenError(Utf8ToUtf16("Cannot open file \"" + path + "\". " + std::strerror(err)));
  }
}

TFileStream::~TFileStream() { Close(); }

int64_t TFileStream::Size() const noexcept {
  struct stat st {};
  if (FFd < 0 || fstat(FFd, &st) != 0) return -1;
  return static_cast<int64_t>(st.st_size);
}

bool TFileStream::Seek(int64_t offset) noexcept {
  return FFd >= 0 && lseek(FFd, static_cast<off_t>(offset), SEEK_SET) == offset;
}

int32_t TFileStream::Read(void* buf, int32_t count) noexcept {
  if (FFd < 0 || count <= 0) return 0;
  ssize_t r;
  do {
    r = ::read(FFd, buf, static_cast<size_t>(count));
  } while (r < 0 && errno == EINTR);
  return r < 0 ? 0 : static_cast<int32_t>(r);
}

void TFileStream::Close() noexcept {
  if (FFd >= 0) ::close(FFd);
  FFd = -1;
}

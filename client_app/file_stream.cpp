#include "file_stream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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
  FBlockUsed = FBlockSize = 0;
  return FFd >= 0 && lseek(FFd, static_cast<off_t>(offset), SEEK_SET) == offset;
}

bool TFileStream::Refill() noexcept {
  ssize_t r;
  do {
    r = ::read(FFd, FBlock.get(), kReadAhead);
  } while (r < 0 && errno == EINTR);
  FBlockUsed = 0;
  FBlockSize = r < 0 ? 0 : static_cast<int32_t>(r);
  return FBlockSize > 0;
}

int32_t TFileStream::Read(void* buf, int32_t count) noexcept {
  if (FFd < 0 || count <= 0) return 0;
  auto* out = static_cast<char*>(buf);
  int32_t done = 0;
  while (done < count) {
    if (FBlockUsed == FBlockSize && count - done >= kReadAhead) {
      // A large read goes straight into the caller's buffer.
      ssize_t r;
      do {
        r = ::read(FFd, out + done, static_cast<size_t>(count - done));
      } while (r < 0 && errno == EINTR);
      if (r <= 0) break;
      done += static_cast<int32_t>(r);
      continue;
    }
    if (FBlockUsed == FBlockSize && !Refill()) break;
    const int32_t k = std::min(count - done, FBlockSize - FBlockUsed);
    std::memcpy(out + done, FBlock.get() + FBlockUsed, static_cast<size_t>(k));
    FBlockUsed += k;
    done += k;
  }
  return done;
}

void TFileStream::Close() noexcept {
  if (FFd >= 0) ::close(FFd);
  FFd = -1;
}

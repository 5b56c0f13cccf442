#include "memory_release.h"

#include <QTimer>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace {

// Under steady traffic the release is put off at most this long.
constexpr auto kLongestPutOff = std::chrono::seconds(10);

}  // namespace

TMemoryRelease::TMemoryRelease(std::chrono::milliseconds Delay)
    : FDelay(Delay), FTimer(std::make_unique<QTimer>()) {
  FTimer->setSingleShot(true);
  QObject::connect(FTimer.get(), &QTimer::timeout, [this] {
    ++FReleases;
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
  });
}

TMemoryRelease::~TMemoryRelease() = default;

void TMemoryRelease::ConversationEnded() {
  // Counted from the last end of a burst, when UDT4 has freed most of it.
  const auto now = std::chrono::steady_clock::now();
  if (!FTimer->isActive()) FFirstEnd = now;
  if (now - FFirstEnd < kLongestPutOff) FTimer->start(FDelay);
}

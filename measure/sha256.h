// TSha256: SHA-256 of bytes handed over piece by piece.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

// An incremental SHA-256 over OpenSSL's libcrypto, which uses the CPU's SHA
// instructions where there are any. Not thread-safe: one thread feeds an object.
class TSha256 {
 public:
  TSha256();
  ~TSha256();
  TSha256(const TSha256&) = delete;
  TSha256& operator=(const TSha256&) = delete;

  // Starts over, as if nothing had been added.
  void Reset();
  // Adds Count bytes at Buf to the hashed data.
  void Update(const void* Buf, size_t Count);
  // The digest of everything added since the last Reset, as 64 lowercase hex
  // digits; the object then starts over.
  std::string HexDigest();

  // The digest of one buffer.
  static std::string Of(const void* Buf, size_t Count);

 private:
  struct TContext;
  std::unique_ptr<TContext> FContext;
};

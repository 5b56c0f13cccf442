#include "sha256.h"

#include <openssl/evp.h>

#include <new>

struct TSha256::TContext {
  EVP_MD_CTX* ctx = nullptr;
  ~TContext() { EVP_MD_CTX_free(ctx); }
};

TSha256::TSha256() : FContext(std::make_unique<TContext>()) {
  FContext->ctx = EVP_MD_CTX_new();
  if (!FContext->ctx) throw std::bad_alloc();
  Reset();
}

TSha256::~TSha256() = default;

void TSha256::Reset() {
  if (EVP_DigestInit_ex(FContext->ctx, EVP_sha256(), nullptr) != 1) throw std::bad_alloc();
}

void TSha256::Update(const void* Buf, size_t Count) {
  if (Count > 0) EVP_DigestUpdate(FContext->ctx, Buf, Count);
}

std::string TSha256::HexDigest() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_DigestFinal_ex(FContext->ctx, digest, &length);
  static const char kHex[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(length * 2);
  for (unsigned int i = 0; i < length; ++i) {
    hex.push_back(kHex[digest[i] >> 4]);
    hex.push_back(kHex[digest[i] & 0xF]);
  }
  Reset();
  return hex;
}

std::string TSha256::Of(const void* Buf, size_t Count) {
  TSha256 h;
  h.Update(Buf, Count);
  return h.HexDigest();
}

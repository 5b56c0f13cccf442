// Bytes for tests: patterns to send, readable dumps, and UTF-16 text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "exchange_protocol.h"

namespace test_support {

// n bytes of a repeating, position-dependent pattern; another seed, other bytes.
std::string Pattern(size_t n, unsigned seed = 0);

// Bytes as two-digit hex numbers separated by blanks, for readable failures.
std::string Hex(const std::string& bytes);

// The file request as a text, from the protocol.
inline const std::u16string kFileRequest{protocol::kFileRequest};

// The wire units of the exchange, from the protocol's own encoders.
inline std::string Frame(const std::u16string& text) { return protocol::EncodeStringFrame(text); }
inline std::string SizeField(int32_t size) { return protocol::EncodeSizeField(size); }

// UTF-16 and UTF-8 in tests.
std::u16string U16(const std::string& utf8);
std::string U8(const std::u16string& s);

}  // namespace test_support

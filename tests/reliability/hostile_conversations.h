// The generated hostile conversations: each one is made from its own seed, so a
// failing conversation can be run again by its number.
#pragma once

#include <cstdint>
#include <string>

#include "exchange_protocol.h"

namespace reliability_test {

// What one conversation did, and the file the server must now hold whole.
struct TConversationOutcome {
  bool Connected = false;
  std::string Failure;     // what went wrong on the peer's side, empty when nothing
  std::string StoredName;  // a file the server must hold whole, or empty
  std::string StoredData;
};

// Runs conversation number Index against 127.0.0.1:Port. EscapeTarget is an
// absolute path some of them send as a file name.
TConversationOutcome RunHostileConversation(int Index, uint16_t Port, const std::string& EscapeTarget);

// The wire units, from the protocol's own encoders rather than the components under test.
inline std::string WireFrame(const std::u16string& Text) { return protocol::EncodeStringFrame(Text); }
inline std::string WireInt32(int32_t Value) { return protocol::EncodeSizeField(Value); }

}  // namespace reliability_test

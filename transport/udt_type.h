// The shared vocabulary of the socket components: socket domains and types with
// their UDT mappings, block modes, the IPv4 address records, the event types
// and the library's exception.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "component.h"
#include "sysutils.h"

enum TUDTSocketDomain : uint8_t { pfUnspec = 0, pfINET = 1, pfINET6 = 2 };
enum TUDTSocketType : uint8_t { stStream = 0, stDgram = 1 };

// Address family and socket type handed to UDT for each enumeration value.
inline constexpr int32_t UDTSocketDomainMap[3] = {0, AF_INET, AF_INET6};
inline constexpr int32_t UDTSocketTypeMap[2] = {1 /* SOCK_STREAM */, 2 /* SOCK_DGRAM */};

enum TServerSocketBlockMode : uint8_t { bmBlocking = 0, bmNonBlocking = 1, bmThreadBlocking = 2 };
// The base socket's block mode: the first two server modes only.
using TSocketBlockMode = TServerSocketBlockMode;

// The platform's IPv4 records are used as they are; the components rely on this layout.
static_assert(sizeof(::in_addr) == 4);
static_assert(sizeof(::sockaddr_in) == 16);
static_assert(offsetof(::sockaddr_in, sin_family) == 0);
static_assert(offsetof(::sockaddr_in, sin_port) == 2);
static_assert(offsetof(::sockaddr_in, sin_addr) == 4);

// 8-bit texts in the default code page: a host name or dotted address, a service or port number.
using TSocketHost = std::string;
using TSocketPort = std::string;

class TUDTCustomIpClient;
class TUDTClientSocketThread;

using TNotifyEvent = std::function<void(TObject* Sender)>;
using TSocketNotifyEvent = std::function<void(TObject* Sender)>;
using TSocketDataEvent = std::function<void(TObject* Sender, void* Buf, int32_t& DataLen)>;
using TUDTSocketErrorEvent =
    std::function<void(TObject* Sender, int32_t SocketError, const char* ErrorDesc)>;
using TSocketAcceptEvent = std::function<void(TObject* Sender, TUDTCustomIpClient* ClientSocket)>;
using TUDTGetThreadEvent =
    std::function<void(TObject* Sender, TUDTClientSocketThread*& ClientSocketThread)>;

// The socket library's own exception: a message and a UDT-style error code.
class EUDTSocketError : public Exception {
 public:
  // ErrorMsg is in the default 8-bit code page.
  EUDTSocketError(const std::string& ErrorMsg, int32_t ErrorCode)
      : Exception(ErrorMsg), FErrorCode(ErrorCode) {}
  int32_t ErrorCode() const noexcept { return FErrorCode; }

 private:
  int32_t FErrorCode;
};

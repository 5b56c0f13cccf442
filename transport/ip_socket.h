// TUDTIpSocket: the base socket with IPv4 hosts and ports, resolver look-ups
// and a local bind.
#pragma once

#include <cstdint>
#include <string>

#include "base_socket.h"

// A socket with a local and a remote host and port, held as 8-bit texts.
// Look-ups block the calling thread; not thread-safe, like its base.
class TUDTIpSocket : public TUDTBaseSocket {
 public:
  explicit TUDTIpSocket(TComponent* AOwner);

  // The IPv4 socket address for a host and port text; throws EConvertError for a
  // port that is neither a service nor an integer.
  sockaddr_in GetSocketAddr(const TSocketHost& h, const TSocketPort& p);
  // Dotted address of a host name or address; "0.0.0.0" for empty; empty when unknown.
  std::string LookupHostAddr(const std::string& hn);
  // Official host name of a dotted address; empty when unknown.
  std::string LookupHostName(const std::string& ipaddr);
  // Port of a service name or integer text (low 16 bits); 0 for empty.
  uint16_t LookupPort(const std::string& sn, const char* pn = nullptr);
  // Protocol number of a protocol name; 0 when unknown.
  uint16_t LookupProtocol(const std::string& pn);
  std::string LocalHostName();
  std::string LocalHostAddr();
  std::string LocalDomainName();

  // Operating-system datagram send and receive on this object's handle.
  int32_t SendTo(const void* buf, int32_t bufsize, sockaddr_in ToAddr, int32_t flags);
  int32_t ReceiveFrom(void* buf, int32_t bufsize, sockaddr_in& ToAddr, int32_t& len,
                      int32_t flags);

  const TSocketHost& LocalHost() const noexcept { return FLocalHost; }
  void SetLocalHost(const TSocketHost& Value) { SetText(FLocalHost, Value); }
  const TSocketPort& LocalPort() const noexcept { return FLocalPort; }
  void SetLocalPort(const TSocketPort& Value) { SetText(FLocalPort, Value); }
  const TSocketHost& RemoteHost() const noexcept { return FRemoteHost; }
  void SetRemoteHost(const TSocketHost& Value) { SetText(FRemoteHost, Value); }
  const TSocketPort& RemotePort() const noexcept { return FRemotePort; }
  void SetRemotePort(const TSocketPort& Value) { SetText(FRemotePort, Value); }

 protected:
  // Binds the open socket to LocalHost:LocalPort; false when closed or the bind failed.
  virtual bool BindLocal();
  // Takes over an accepted connection's socket and its peer's address texts;
  // nothing is closed and no event fires.
  void AdoptHandle(int32_t Handle, TUDTSocketDomain Domain, TUDTSocketType SockType,
                   TSocketBlockMode Mode, const TSocketHost& Remote, const TSocketPort& Port) {
    FRemoteHost = Remote;
    FRemotePort = Port;
    TUDTBaseSocket::AdoptHandle(Handle, Domain, SockType, Mode);
  }

 private:
  void SetText(std::string& field, const std::string& Value);

  TSocketHost FLocalHost;
  TSocketPort FLocalPort;
  TSocketHost FRemoteHost;
  TSocketPort FRemotePort;
};

// Reads a port text as a 32-bit integer the way the port look-up does; throws
// EConvertError "''%s'' is not a valid integer value".
int32_t StrToInt(const std::string& s);

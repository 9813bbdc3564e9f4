// Windows twin of the part of loopback_server.cpp that the Windows build's
// tests use: the refused port, on Winsock. The scripted server and the
// silent listener have no twin yet.
#include <winsock2.h>
#include <ws2tcpip.h>

#include "support/loopback_server.h"

namespace ws_test {

refused_port::refused_port() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  if (!started) return;
  SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
  if (s == INVALID_SOCKET) return;
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int len = sizeof a;
  // Bound, never listening: every connect to the port is refused.
  if (bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
      getsockname(s, reinterpret_cast<sockaddr *>(&a), &len) != 0) {
    closesocket(s);
    return;
  }
  // Only the low 32 bits of a socket handle are significant.
  fd_ = static_cast<int>(s);
  port_ = ntohs(a.sin_port);
}

refused_port::~refused_port() {
  if (fd_ >= 0) closesocket(static_cast<SOCKET>(static_cast<unsigned int>(fd_)));
}

}  // namespace ws_test

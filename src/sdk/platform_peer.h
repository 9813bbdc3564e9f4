// What an idle connection's peer did while nobody was reading: nothing, hung
// up, or sent bytes nobody asked for. Part of the platform layer (its twins are
// platform_peer_posix.cpp and platform_peer_win32.cpp).
#pragma once

#include "sdk/platform.h"

enum tq_plat_peer_state {
  TQ_PLAT_PEER_QUIET,   // open, nothing waiting to be read
  TQ_PLAT_PEER_CLOSED,  // the peer closed or reset the connection (or sock is unusable)
  TQ_PLAT_PEER_SENT,    // bytes are waiting to be read
};

// Looks without waiting and without taking any byte off the socket.
tq_plat_peer_state tq_plat_peer_probe(tq_socket sock);

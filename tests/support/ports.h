// Loopback addresses and free ports for the tests' own clients (plain BSD sockets). Free of
// system headers, whose macros would hide names of the platform layer.
#pragma once

struct sockaddr_in;

// 127.0.0.1:port; callers include <netinet/in.h> themselves.
sockaddr_in Loopback(int port);
// A port that nothing listens on at the moment of asking, never the same one twice in a run.
int FreePort();
// Whether the calling thread may bind the port on all interfaces.
bool CanBind(int port);
// Whether another program could take the port: bind it on all interfaces with SO_REUSEADDR
// (so that connections in TIME_WAIT do not count) and listen on it.
bool CanListen(int port);

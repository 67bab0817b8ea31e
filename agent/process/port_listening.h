#ifndef AGENT_PORT_LISTENING_H
#define AGENT_PORT_LISTENING_H

/// True exactly when a TCP socket of this host (IPv4 or IPv6, any local
/// address) is in the listening state on `port`. Read from the kernel's
/// socket tables (/proc/net/tcp and /proc/net/tcp6) of the caller's network
/// namespace; nothing connects to the port. Port 0 is never listening.
bool check_port_listening(unsigned short port);

#endif

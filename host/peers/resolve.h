// Name resolution for the stream peers, shared by the Linux peers and qvxbridge's POSIX sockets.
#pragma once

#include <cstdint>
#include <string>

#include <sys/socket.h>

namespace qvx {

// The first address of host:port for a stream socket; an empty host with `passive` is every
// interface. FALSE with a message in *error when it does not resolve.
bool Resolve(const std::string& host, uint16_t port, bool passive, sockaddr_storage* address,
             socklen_t* length, std::string* error);

} // namespace qvx

#pragma once
// IPv4 address of a mail server, as the connections use it.
#include <netinet/in.h>

#include <string>

namespace ph {

// A dotted address ("192.0.2.7") is taken as it stands and never sent to the resolver; any
// other host is looked up and its first IPv4 address used. False when the host does not
// resolve or the port is outside 0..65535.
bool ResolveIPv4(const std::string& host, int port, sockaddr_in& address);

}  // namespace ph

#include "net/Resolve.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

namespace ph {

bool ResolveIPv4(const std::string& host, int port, sockaddr_in& address) {
    if (port < 0 || port > 65535 || host.empty() || host.find('\0') != std::string::npos)
        return false;
    address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, host.c_str(), &address.sin_addr) == 1) return true;

    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || !found) return false;
    address.sin_addr = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
    freeaddrinfo(found);
    return true;
}

}  // namespace ph

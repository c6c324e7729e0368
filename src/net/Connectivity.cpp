#include "net/Connectivity.h"

#include <ifaddrs.h>
#include <net/if.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>

namespace ph {
namespace {

// Interfaces named in the kernel's IPv4 and IPv6 routing tables.
std::set<std::string> RoutedInterfaces() {
    std::set<std::string> names;
    std::ifstream v4("/proc/net/route");
    std::string line;
    std::getline(v4, line);  // the column titles
    while (std::getline(v4, line)) {
        std::istringstream fields(line);
        std::string name;
        if (fields >> name) names.insert(name);
    }
    std::ifstream v6("/proc/net/ipv6_route");
    while (std::getline(v6, line)) {
        // The interface is the last of the ten columns.
        const size_t space = line.find_last_of(" \t");
        if (space != std::string::npos && space + 1 < line.size()) names.insert(line.substr(space + 1));
    }
    names.erase("lo");
    return names;
}

}  // namespace

bool SystemConnectivity::IsOnline() const {
    const std::set<std::string> routed = RoutedInterfaces();
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return false;
    bool online = false;
    for (ifaddrs* a = list; a && !online; a = a->ifa_next) {
        const bool up = (a->ifa_flags & IFF_UP) && (a->ifa_flags & IFF_RUNNING);
        online = up && !(a->ifa_flags & IFF_LOOPBACK) && routed.count(a->ifa_name) > 0;
    }
    ::freeifaddrs(list);
    return online;
}

}  // namespace ph

#include "base/Mac.h"

#include <cstdlib>

namespace quorvane {

std::filesystem::path Mac::hostPath(std::string_view macPath) const {
    std::string_view relative = macPath;
    while (!relative.empty() && relative.front() == '/')
        relative.remove_prefix(1);
    std::filesystem::path base =
        root.empty() ? std::filesystem::path("/") : std::filesystem::path(root);
    return relative.empty() ? base : base / std::filesystem::path(relative);
}

std::string Mac::homePath(std::string_view relative) const {
    std::string result = home;
    while (result.size() > 1 && result.back() == '/')
        result.pop_back();
    while (!relative.empty() && relative.front() == '/')
        relative.remove_prefix(1);
    if (relative.empty())
        return result;
    if (result != "/")
        result += '/';
    result += relative;
    return result;
}

Mac Mac::fromEnvironment() {
    Mac mac;
    if (const char* root = std::getenv("QUORVANE_ROOT"); root && *root)
        mac.root = root;
    if (const char* home = std::getenv("QUORVANE_HOME"); home && *home)
        mac.home = home;
    else if (const char* envHome = std::getenv("HOME"); envHome && *envHome)
        mac.home = envHome;
    else
        mac.home = "/var/root";
    return mac;
}

} // namespace quorvane

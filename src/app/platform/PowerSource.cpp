#include "platform/PowerSource.h"

#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

namespace quorvane {

bool hasInternalBattery(const Mac& mac) {
    namespace fs = std::filesystem;
    std::error_code error;
    fs::directory_iterator supplies(mac.hostPath("/sys/class/power_supply"), error);
    if (error)
        return false;
    for (const auto& supply : supplies) {
        std::ifstream typeFile(supply.path() / "type");
        std::string type;
        if (std::getline(typeFile, type) && type == "Battery")
            return true;
    }
    return false;
}

} // namespace quorvane

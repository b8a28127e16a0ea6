#include "timemachine/DestinationInfo.h"
#include "base/PropertyList.h"

#include "process/ToolRunner.h"

#include <plist/plist.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <map>
#include <memory>

namespace quorvane {

namespace {

// The top-level dictionary of an XML or binary property list; null for anything else.
PropertyList parseDictionary(std::string_view bytes) {
    if (bytes.empty() || bytes.size() > std::numeric_limits<uint32_t>::max())
        return nullptr;
    PropertyList owned = parsePropertyList(bytes);
    if (!owned || plist_get_node_type(owned.get()) != PLIST_DICT)
        return nullptr;
    return owned;
}

std::optional<bool> booleanValue(plist_t node) {
    if (node && plist_get_node_type(node) == PLIST_BOOLEAN) {
        uint8_t value = 0;
        plist_get_bool_val(node, &value);
        return value != 0;
    }
    if (const auto number = plistNumber(node))
        return *number != 0;
    return std::nullopt;
}

} // namespace

std::vector<DestinationInfo> parseDestinationInfo(std::string_view bytes) {
    const PropertyList root = parseDictionary(bytes);
    if (!root)
        return {};
    plist_t list = plist_dict_get_item(root.get(), "Destinations");
    if (!list || plist_get_node_type(list) != PLIST_ARRAY)
        return {};
    const std::vector<plist_t> entries = plistArrayItems(list);
    for (plist_t entry : entries)
        if (plist_get_node_type(entry) != PLIST_DICT)
            return {};
    std::vector<DestinationInfo> infos;
    for (plist_t entry : entries) {
        auto id = plistString(plist_dict_get_item(entry, "ID"));
        if (!id)
            continue;
        infos.push_back({std::move(*id), plistString(plist_dict_get_item(entry, "Name")),
                         plistString(plist_dict_get_item(entry, "Kind"))});
    }
    return infos;
}

std::vector<DestinationInfo> readDestinationInfo(const Mac& mac, double timeout) {
    const auto result = runToolCapturing(mac, tmutilPath, {"destinationinfo", "-X"}, timeout);
    if (!result || result->status != 0)
        return {};
    return parseDestinationInfo(result->output);
}

TimeMachineSettings withDisplayNames(TimeMachineSettings settings,
                                     const std::vector<DestinationInfo>& infos) {
    std::map<std::string, const DestinationInfo*, std::less<>> byID;
    for (const DestinationInfo& info : infos)
        byID.emplace(info.id, &info); // keeps the first of an id
    for (BackupDestination& destination : settings.destinations) {
        const auto found = byID.find(destination.id);
        const DestinationInfo* info = found == byID.end() ? nullptr : found->second;
        if (!destination.name || looksLikeUUID(*destination.name))
            destination.name = info ? info->name : std::nullopt;
        if (destination.kind == BackupDestination::Kind::unknown && info && info->kind)
            destination.kind = *info->kind == "Network" ? BackupDestination::Kind::network
                                                        : BackupDestination::Kind::local;
    }
    return settings;
}

std::optional<BackupRunState> parseRunState(std::string_view bytes) {
    const PropertyList root = parseDictionary(bytes);
    if (!root)
        return std::nullopt;
    plist_t dict = root.get();
    BackupRunState state;
    std::optional<double> percent = plistNumber(plist_dict_get_item(dict, "Percent"));
    if (!percent) {
        plist_t progress = plist_dict_get_item(dict, "Progress");
        if (progress && plist_get_node_type(progress) == PLIST_DICT)
            percent = plistNumber(plist_dict_get_item(progress, "Percent"));
    }
    // -1 means idle; an infinite or NaN report is no progress figure either.
    if (percent && std::isfinite(*percent) && *percent >= 0)
        state.percent = percent;
    state.running = booleanValue(plist_dict_get_item(dict, "Running")).value_or(false);
    state.phase = plistString(plist_dict_get_item(dict, "BackupPhase"));
    state.destinationID = plistString(plist_dict_get_item(dict, "DestinationID"));
    return state;
}

std::optional<BackupRunState> readRunState(const Mac& mac, double timeout) {
    const auto result = runToolCapturing(mac, tmutilPath, {"status", "-X"}, timeout);
    if (!result || result->status != 0)
        return std::nullopt;
    return parseRunState(result->output);
}

SettingsReading readStatus(const Mac& mac) {
    SettingsReading reading = readTimeMachineSettings(mac);
    if (reading.isRead() && reading.settings)
        reading.settings =
            withDisplayNames(std::move(*reading.settings), readDestinationInfo(mac, 5.0));
    return reading;
}

} // namespace quorvane

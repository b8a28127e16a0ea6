#pragma once

#include "health/Issue.h"

#include <string>
#include <string_view>
#include <utility>

namespace quorvane {

// The body sent off the Mac when names are left out.
inline constexpr std::string_view offMacGenericBody =
    "Open Quorvane Ombrel on your Mac for the details.";

// One alert as it may leave the Mac: the full texts, and texts that name no disk, folder or app.
struct OffMacMessage {
    std::string title;
    std::string body;
    std::string genericTitle;
    std::string genericBody;
    bool urgent = false;

    // (title, body) with names, else (genericTitle, genericBody).
    std::pair<std::string, std::string> text(bool includeNames) const;

    bool operator==(const OffMacMessage&) const = default;
};

// A title for the issue that names no disk or app: "Backups have stopped", "Backups are
// failing", ..., or "A backup needs attention" for kinds without their own.
std::string genericAlertTitle(const Issue& issue);

} // namespace quorvane

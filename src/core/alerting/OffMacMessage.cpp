#include "alerting/OffMacMessage.h"

namespace quorvane {

std::pair<std::string, std::string> OffMacMessage::text(bool includeNames) const {
    return includeNames ? std::pair(title, body) : std::pair(genericTitle, genericBody);
}

std::string genericAlertTitle(const Issue& issue) {
    switch (issue.kind) {
    case IssueKind::noCompleted:
    case IssueKind::overdue:
        return "Backups have stopped";
    case IssueKind::failing:
        return "Backups are failing";
    case IssueKind::stuck:
        return "A backup seems stuck";
    case IssueKind::historyShrank:
        return "Older backups were removed";
    case IssueKind::nearlyFull:
        return "A backup disk is nearly full";
    case IssueKind::nasUnreachable:
        return "The network backup disk isn't answering";
    case IssueKind::tool:
        return "A backup app reported a problem";
    default:
        return "A backup needs attention";
    }
}

} // namespace quorvane

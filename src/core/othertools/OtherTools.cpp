#include "othertools/OtherTools.h"

#include "othertools/Arq.h"
#include "othertools/Backblaze.h"
#include "othertools/CarbonCopyCloner.h"
#include "othertools/ChronoSync.h"
#include "othertools/Duplicati.h"
#include "othertools/SuperDuper.h"
#include "othertools/Vorta.h"

#include <optional>
#include <utility>

namespace quorvane {

namespace {

void append(std::vector<ToolStatus>& all, std::optional<std::vector<ToolStatus>> found) {
    if (!found)
        return;
    for (ToolStatus& status : *found)
        all.push_back(std::move(status));
}

} // namespace

std::vector<ToolStatus> readOtherTools(const Mac& mac, Date now) {
    std::vector<ToolStatus> all;
    // One reader per line, in the fixed order.
    append(all, readArq(mac, now));
    append(all, readCCC(mac, now));
    append(all, readBackblaze(mac, now));
    append(all, readVorta(mac, vortaDatabase(mac), vortaLog(mac), now));
    append(all, readSuperDuper(mac, superDuperSettings(mac), now));
    append(all, readDuplicati(mac, duplicatiDatabase(mac), now));
    append(all, readChronoSync(mac, chronoSyncDocuments(mac), now));
    return all;
}

} // namespace quorvane

#include "othertools/Arq.h"

#include "base/IsoDate.h"
#include "othertools/ToolText.h"
#include "process/ToolRunner.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <filesystem>
#include <string>
#include <utility>

namespace quorvane {

namespace {

using nlohmann::json;

constexpr double toolTimeout = 10.0;

// Deeper documents are refused before parsing: Arq's own output is a few levels deep, and a
// hostile document nested without limit must not exhaust the stack anywhere downstream.
constexpr int maxJSONDepth = 512;

ToolStatus wholeApp(Date now) {
    return ToolStatus(ToolStatus::Tool::arq, std::nullopt, std::nullopt, std::nullopt, std::nullopt,
                      false, false, std::nullopt, std::nullopt, false, now);
}

ToolStatus unreadableApp(Date now) {
    ToolStatus status = wholeApp(now);
    status.unreadable = true;
    return status;
}

// True when the brackets of `text` (outside strings) never nest deeper than `limit`.
bool nestingWithin(std::string_view text, int limit) {
    int depth = 0;
    bool inString = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inString) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '{' || c == '[') {
            if (++depth > limit)
                return false;
        } else if (c == '}' || c == ']') {
            --depth;
        }
    }
    return true;
}

const json* member(const json& object, const char* key) {
    if (!object.is_object())
        return nullptr;
    auto found = object.find(key);
    return found == object.end() ? nullptr : &*found;
}

std::optional<std::string> text(const json& object, const char* key) {
    const json* value = member(object, key);
    if (value == nullptr || !value->is_string())
        return std::nullopt;
    return value->get<std::string>();
}

std::optional<Date> dateValue(const json& object, const char* key) {
    std::optional<std::string> value = text(object, key);
    return value ? parseIsoDate(*value) : std::nullopt;
}

bool isArrayOfObjects(const json* value) {
    if (value == nullptr || !value->is_array())
        return false;
    for (const json& element : *value)
        if (!element.is_object())
            return false;
    return true;
}

// The part of a path after its last "/", ignoring trailing slashes ("/" stays "/").
std::string lastPathComponent(std::string_view path) {
    while (path.size() > 1 && path.back() == '/')
        path.remove_suffix(1);
    if (path == "/")
        return "/";
    std::size_t slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

// The message the reason quotes: the first "High" error's, else the first error's.
std::optional<std::string> chosenMessage(const json& errors) {
    if (errors.empty())
        return std::nullopt;
    for (const json& error : errors) {
        if (text(error, "severity") == "High") {
            if (std::optional<std::string> message = text(error, "message"))
                return message;
            break;
        }
    }
    return text(errors.front(), "message");
}

// The chosen message, followed by what the first error about a file says when that differs.
std::optional<std::string> errorText(const json& errors, const std::optional<std::string>& chosen) {
    const json* withPath = nullptr;
    for (const json& error : errors) {
        if (member(error, "path") != nullptr) {
            withPath = &error;
            break;
        }
    }
    if (withPath == nullptr)
        return chosen;
    std::optional<std::string> message = text(*withPath, "message");
    std::optional<std::string> path = text(*withPath, "path");
    if (!message || !path || message == chosen)
        return chosen;
    const std::string file = lastPathComponent(*path);
    std::string fileText = message->find("No such file or directory") != std::string::npos
                               ? "It can't find “" + file +
                                     "”: was it moved, renamed or on a disk that isn't connected?"
                               : "First file error: " + *message + " (“" + file + "”).";
    return chosen ? *chosen + " " + fileText : fileText;
}

bool positiveInteger(const json* value) {
    if (value == nullptr)
        return false;
    if (value->is_number_unsigned())
        return value->get<std::uint64_t>() > 0;
    if (value->is_number_integer())
        return value->get<std::int64_t>() > 0;
    if (value->is_number_float()) {
        const double number = value->get<double>();
        return number > 0 && std::trunc(number) == number;
    }
    return false;
}

ToolStatus planStatus(const json& plan, Date now) {
    static const json none = json::object();
    const json* activityValue = member(plan, "latestActivity");
    const json& activity =
        activityValue != nullptr && activityValue->is_object() ? *activityValue : none;
    const std::string severity = text(activity, "maxErrorSeverity").value_or("None");
    const json* abortedValue = member(activity, "aborted");
    const bool aborted =
        abortedValue != nullptr && abortedValue->is_boolean() && abortedValue->get<bool>();
    static const json noErrors = json::array();
    const json* errorsValue = member(activity, "errors");
    const json& errors = isArrayOfObjects(errorsValue) ? *errorsValue : noErrors;

    const std::optional<std::string> chosen = chosenMessage(errors);
    const std::optional<std::string> described = errorText(errors, chosen);
    const bool failed = aborted || severity == "High";
    const bool warnings =
        !failed && severity == "Moderate" && positiveInteger(member(activity, "errorCount"));

    std::optional<std::string> reason;
    if (failed && described)
        reason = "Arq reported: " + *described;
    else if (failed && aborted)
        reason = "The last run was stopped before it finished.";
    else if (warnings && chosen)
        reason = "Some files had errors: " + *chosen;

    const json* destinationValue = member(plan, "destination");
    const json& destination =
        destinationValue != nullptr && destinationValue->is_object() ? *destinationValue : none;
    ToolStatus status(ToolStatus::Tool::arq, text(plan, "name"), text(destination, "name"),
                      dateValue(plan, "lastBackedUp"), dateValue(activity, "startedAt"), failed,
                      warnings, std::move(reason), std::nullopt, false, now);
    if (std::optional<std::string> type = text(destination, "type"))
        status.destinationKind = lowercased(*type);
    return status;
}

} // namespace

std::vector<ToolStatus> parseArqStats(std::string_view output, Date now) {
    if (!isValidUTF8(output))
        return {};
    // The tool may print warnings before the document.
    std::size_t brace = output.find('{');
    if (brace == std::string_view::npos)
        return {};
    std::string_view document = output.substr(brace);
    if (!nestingWithin(document, maxJSONDepth))
        return {};
    const json root = json::parse(document, nullptr, /*allow_exceptions=*/false);
    const json* plans = member(root, "backupPlans");
    if (!isArrayOfObjects(plans))
        return {};
    std::vector<ToolStatus> statuses;
    for (const json& plan : *plans) {
        if (statuses.size() == maxToolJobs)
            break;
        statuses.push_back(planStatus(plan, now));
    }
    return statuses;
}

std::vector<ToolStatus> arqStatuses(std::string_view output, Date now) {
    const std::string text = utf8OrEmpty(output);
    if (text.find("license agreement") != std::string::npos &&
        text.find("arqc") != std::string::npos) {
        ToolStatus status = unreadableApp(now);
        status.note = "Arq's status tool needs its licence accepted once. Open Arq; if this "
                      "stays, see Arq's help on \"arqc\".";
        return {status};
    }
    std::vector<ToolStatus> statuses = parseArqStats(output, now);
    if (!statuses.empty())
        return statuses;
    if (text.find("\"backupPlans\"") == std::string::npos)
        return {unreadableApp(now)};
    ToolStatus none = wholeApp(now);
    none.noBackupsSetUp = true;
    return {none};
}

std::optional<std::vector<ToolStatus>> readArq(const Mac& mac, Date now) {
    std::error_code error;
    if (!std::filesystem::exists(mac.hostPath(arqcPath), error))
        return std::nullopt;
    std::optional<ToolOutput> run = runToolCapturing(mac, arqcPath, {"stats"}, toolTimeout);
    if (!run || run->status != 0)
        return std::vector<ToolStatus>{unreadableApp(now)};
    return arqStatuses(run->output, now);
}

} // namespace quorvane

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

// A text member, as a view into `object`.
std::optional<std::string_view> textView(const json& object, const char* key) {
    const json* value = member(object, key);
    if (value == nullptr || !value->is_string())
        return std::nullopt;
    return std::string_view(value->get_ref<const std::string&>());
}

// The message the reason quotes: the first "High" error's, else the first error's.
std::optional<std::string_view> chosenMessage(const json& errors) {
    if (errors.empty())
        return std::nullopt;
    for (const json& error : errors) {
        if (textView(error, "severity") == "High") {
            if (std::optional<std::string_view> message = textView(error, "message"))
                return message;
            break;
        }
    }
    return textView(errors.front(), "message");
}

// The chosen message, followed by what the first error about a file says when that differs.
std::optional<std::string> errorText(const json& errors,
                                     const std::optional<std::string_view>& chosen) {
    const json* withPath = nullptr;
    for (const json& error : errors) {
        if (member(error, "path") != nullptr) {
            withPath = &error;
            break;
        }
    }
    const auto chosenText = [&]() -> std::optional<std::string> {
        return chosen ? std::optional<std::string>(std::string(*chosen)) : std::nullopt;
    };
    if (withPath == nullptr)
        return chosenText();
    std::optional<std::string_view> message = textView(*withPath, "message");
    std::optional<std::string_view> path = textView(*withPath, "path");
    if (!message || !path || message == chosen)
        return chosenText();
    const std::string file = lastPathComponent(*path);
    std::string fileText =
        message->find("No such file or directory") != std::string::npos
            ? "It can't find “" + file +
                  "”: was it moved, renamed or on a disk that isn't connected?"
            : "First file error: " + std::string(*message) + " (“" + file + "”).";
    return chosen ? std::string(*chosen) + " " + fileText : fileText;
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

    const std::optional<std::string_view> chosen = chosenMessage(errors);
    std::optional<std::string> described = errorText(errors, chosen);
    const bool failed = aborted || severity == "High";
    const bool warnings =
        !failed && severity == "Moderate" && positiveInteger(member(activity, "errorCount"));

    std::optional<std::string> reason;
    if (failed && described)
        reason = std::move(described->insert(0, "Arq reported: "));
    else if (failed && aborted)
        reason = "The last run was stopped before it finished.";
    else if (warnings && chosen)
        reason = "Some files had errors: " + std::string(*chosen);

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

// Builds the part of the status document that the plans are made from, as the parser goes:
// only the plan, destination and activity keys used below are kept, at most `maxToolJobs` plans,
// and of each plan's errors only the three that can be quoted (the first, the first "High" one
// and the first naming a file). Everything else is parsed and dropped, so a document of
// megabytes of errors or unknown keys costs about its own size, not many times it.
class PlanDocument : public nlohmann::json_sax<json> {
public:
    // The plans as read; absent when the document is not an object whose "backupPlans" is a
    // list of objects.
    std::optional<json> plans() && {
        if (!complete_ || plansInvalid_ || !plans_.is_array())
            return std::nullopt;
        return std::move(plans_);
    }

    bool null() override { return scalar(json(nullptr)); }
    bool boolean(bool value) override { return scalar(json(value)); }
    bool number_integer(number_integer_t value) override { return scalar(json(value)); }
    bool number_unsigned(number_unsigned_t value) override { return scalar(json(value)); }
    bool number_float(number_float_t value, const string_t&) override {
        return scalar(json(value));
    }
    bool string(string_t& value) override { return scalar(json(std::move(value))); }
    bool binary(binary_t&) override { return scalar(json(nullptr)); }

    bool key(string_t& name) override {
        if (skipped_ == 0)
            key_ = std::move(name);
        return true;
    }

    bool start_object(std::size_t) override { return open(true); }
    bool start_array(std::size_t) override { return open(false); }
    bool end_object() override { return close(); }
    bool end_array() override { return close(); }

    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
        return false;
    }

private:
    enum class Role { root, plans, plan, destination, activity, errors, error };

    struct Frame {
        Role role;
        json* value;
        std::size_t items = 0; // plans or errors seen in a list
        bool firstHighKept = false, firstPathKept = false;
    };

    // Where a member named `key_` of the innermost container goes, when it is kept at all.
    json* memberSlot(Frame& top, std::initializer_list<const char*> wanted) {
        for (const char* name : wanted)
            if (key_ == name)
                return &(*top.value)[key_];
        return nullptr;
    }

    // The slot for the next value and the role it takes when it is a container; nullptr drops it.
    std::pair<json*, std::optional<Role>> slotFor(bool container, bool isObject) {
        if (frames_.empty())
            return {isObject ? &root_ : nullptr, Role::root};
        Frame& top = frames_.back();
        switch (top.role) {
        case Role::root:
            if (key_ != "backupPlans")
                return {nullptr, {}};
            if (container && !isObject)
                return {&plans_, Role::plans};
            plansInvalid_ = true;
            return {nullptr, {}};
        case Role::plans:
            if (!container || !isObject) {
                plansInvalid_ = true;
                return {nullptr, {}};
            }
            if (top.items++ >= maxToolJobs)
                return {nullptr, {}};
            top.value->push_back(json::object());
            return {&top.value->back(), Role::plan};
        case Role::plan:
            if (container) {
                if (!isObject)
                    return {nullptr, {}};
                if (key_ == "destination")
                    return {&(*top.value)[key_], Role::destination};
                if (key_ == "latestActivity")
                    return {&(*top.value)[key_], Role::activity};
                return {nullptr, {}};
            }
            return {memberSlot(top, {"name", "lastBackedUp", "destination", "latestActivity"}), {}};
        case Role::destination:
            return {container ? nullptr : memberSlot(top, {"name", "type"}), {}};
        case Role::activity:
            if (key_ == "errors") {
                if (container && !isObject)
                    return {&(*top.value)[key_], Role::errors};
                // Not a list: the errors count as missing.
                top.value->erase("errors");
                return {nullptr, {}};
            }
            return {container ? nullptr
                              : memberSlot(top, {"startedAt", "maxErrorSeverity", "aborted",
                                                 "errorCount"}),
                    {}};
        case Role::errors:
            if (!container || !isObject) {
                errorsInvalid_ = true;
                return {nullptr, {}};
            }
            top.value->push_back(json::object());
            return {&top.value->back(), Role::error};
        case Role::error: {
            // Only text is used from an error; a container in its place counts as missing, but
            // a "path" key of any kind still marks the error as the one about a file.
            json* slot = memberSlot(top, {"severity", "message", "path"});
            if (slot != nullptr && container) {
                *slot = nullptr;
                return {nullptr, {}};
            }
            return {slot, {}};
        }
        }
        return {nullptr, {}};
    }

    bool scalar(json value) {
        if (skipped_ != 0)
            return true;
        if (frames_.empty()) {
            complete_ = true; // a lone scalar is a whole document, but not ours
            return true;
        }
        if (json* slot = slotFor(false, false).first)
            *slot = std::move(value);
        return true;
    }

    bool open(bool isObject) {
        if (skipped_ != 0) {
            ++skipped_;
            return true;
        }
        auto [slot, role] = slotFor(true, isObject);
        if (slot == nullptr || !role) {
            ++skipped_;
            return true;
        }
        *slot = isObject ? json::object() : json::array();
        if (*role == Role::errors)
            errorsInvalid_ = false;
        frames_.push_back(Frame{*role, slot});
        return true;
    }

    bool close() {
        if (skipped_ != 0) {
            if (--skipped_ == 0 && frames_.empty())
                complete_ = true;
            return true;
        }
        const Frame done = frames_.back();
        frames_.pop_back();
        if (frames_.empty()) {
            complete_ = true;
            return true;
        }
        Frame& parent = frames_.back();
        if (done.role == Role::errors && errorsInvalid_)
            parent.value->erase("errors"); // a list holding anything but objects is no list
        if (done.role == Role::error) {
            const bool first = parent.items++ == 0;
            const bool high = !parent.firstHighKept && textView(*done.value, "severity") == "High";
            const bool withPath = !parent.firstPathKept && member(*done.value, "path") != nullptr;
            parent.firstHighKept = parent.firstHighKept || high;
            parent.firstPathKept = parent.firstPathKept || withPath;
            if (!first && !high && !withPath)
                parent.value->erase(parent.value->size() - 1);
        }
        return true;
    }

    json root_;
    json plans_;
    std::vector<Frame> frames_;
    std::string key_;
    std::size_t skipped_ = 0; // depth inside a value that is being dropped
    bool complete_ = false;
    bool plansInvalid_ = false;
    bool errorsInvalid_ = false;
};

// The statuses of the plans; absent when the output is not a readable plan list.
std::optional<std::vector<ToolStatus>> readPlans(std::string_view output, Date now) {
    if (!isValidUTF8(output))
        return std::nullopt;
    // The tool may print warnings before the document.
    std::size_t brace = output.find('{');
    if (brace == std::string_view::npos)
        return std::nullopt;
    std::string_view document = output.substr(brace);
    if (!nestingWithin(document, maxJSONDepth))
        return std::nullopt;
    PlanDocument reader;
    if (!json::sax_parse(document, &reader, json::input_format_t::json, /*strict=*/true))
        return std::nullopt;
    std::optional<json> plans = std::move(reader).plans();
    if (!plans)
        return std::nullopt;
    std::vector<ToolStatus> statuses;
    statuses.reserve(plans->size());
    for (const json& plan : *plans)
        statuses.push_back(planStatus(plan, now));
    return statuses;
}

} // namespace

std::vector<ToolStatus> parseArqStats(std::string_view output, Date now) {
    return readPlans(output, now).value_or(std::vector<ToolStatus>{});
}

std::vector<ToolStatus> arqStatuses(std::string_view output, Date now) {
    // Output that is not UTF-8 reads as empty text (no copy: it may be megabytes).
    const std::string_view text = isValidUTF8(output) ? output : std::string_view();
    if (text.find("license agreement") != std::string_view::npos &&
        text.find("arqc") != std::string_view::npos) {
        ToolStatus status = unreadableApp(now);
        status.note = "Arq's status tool needs its licence accepted once. Open Arq; if this "
                      "stays, see Arq's help on \"arqc\".";
        return {status};
    }
    // Only a plan list that was read whole and is empty means nothing is set up: a document cut
    // short or holding a plan we cannot read says nothing about the plans it hides.
    std::optional<std::vector<ToolStatus>> statuses = readPlans(output, now);
    if (!statuses)
        return {unreadableApp(now)};
    if (!statuses->empty())
        return std::move(*statuses);
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

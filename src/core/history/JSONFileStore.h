#pragma once

#include "history/JSONCoding.h"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace quorvane {

// The state folder's own name, inside the platform's application-support folder.
inline constexpr std::string_view stateFolderName = "Quorvane Backup";

// A state file larger than this is not read (it loads as the default record); a full history
// is a few hundred kilobytes.
inline constexpr std::uintmax_t maxStoreFileBytes = 8 * 1024 * 1024;

// Where the program keeps its JSON files: "~/Library/Application Support/Quorvane Backup" on a
// Mac; "$XDG_DATA_HOME/Quorvane Backup" (or "~/.local/share/...") elsewhere. The home folder
// is HOME, or the password database's entry for this user when HOME is unset or empty. A real
// folder on this machine, never in a simulated Mac. Absent when there is no home folder at
// all: there is then nowhere to keep state (a shared folder such as /tmp is no place for it).
std::optional<std::filesystem::path> stateFolder();
// The same from given values (an empty or relative home or XDG_DATA_HOME is ignored, as the
// XDG rules say for the latter); absent when there is no home folder either.
std::optional<std::filesystem::path> stateFolderFor(const std::optional<std::string>& home,
                                                    const std::optional<std::string>& xdgDataHome);

// How many copies of unreadable state files are kept beside each file.
inline constexpr std::size_t keptUnreadableCopies = 3;

// The byte-level work under JSONFileStore, kept out of the template.
namespace storefile {

enum class ReadOutcome { read, missing, unreadable };

// Reads a regular file of at most maxStoreFileBytes into `bytes`.
ReadOutcome readFile(const std::filesystem::path& file, std::string& bytes);

// Parses JSON text, refusing text nested deeper or holding more values than any state file
// needs (either costs memory out of all proportion to the file's size). Absent when it is not
// JSON.
std::optional<nlohmann::json> parse(std::string_view bytes);

// Pretty-printed JSON text (two-space indent); invalid UTF-8 in strings is replaced, not thrown.
std::string dump(const nlohmann::ordered_json& value);

// Writes `bytes` to a temporary file beside `file`, flushes it to disk and renames it over
// `file`, so a crash or full disk leaves either the old or the new file whole. Creates the
// folder first. False when anything failed; the old file is then untouched.
bool writeAtomically(const std::filesystem::path& file, std::string_view bytes);

// Keeps a `file` that could not be read or decoded as "<file>.unreadable-<UTC time stamp>"
// (the time it was last written, "20250301T140509Z") before it is replaced, and removes all
// but the newest keptUnreadableCopies such copies. Never overwrites a copy. True when the
// file is kept (or is gone); false when it could not be set aside and must not be replaced.
bool keepUnreadable(const std::filesystem::path& file);

} // namespace storefile

// One JSON state file holding one record type T (which has to_json/from_json). Loading never
// fails: a missing, unreadable, oversized or undecodable file gives make(). Saving is atomic
// and silent on failure; a file that could not be read is kept aside first. Used from one
// thread only.
template <class T> class JSONFileStore {
public:
    // `name` is the file name inside `folder`, or inside the state folder when absent.
    // Touches no file.
    JSONFileStore(
        std::string name, std::optional<std::filesystem::path> folder,
        std::function<T()> make = [] { return T{}; })
        : url_(locate(name, folder)), make_(std::move(make)) {}
    explicit JSONFileStore(std::string name) : JSONFileStore(std::move(name), std::nullopt) {}

    // A store for `file`; absent when there is nowhere to keep it (no home folder): loads
    // then give make() and saves do nothing.
    static JSONFileStore at(
        std::optional<std::filesystem::path> file, std::function<T()> make = [] { return T{}; }) {
        return JSONFileStore(std::move(file), std::move(make));
    }

    // The file; empty when there is nowhere to keep it.
    const std::filesystem::path& url() const { return url_; }

    // When true, save does nothing.
    bool readOnly = false;

    T load() {
        if (url_.empty())
            return make_();
        std::string bytes;
        switch (storefile::readFile(url_, bytes)) {
        case storefile::ReadOutcome::missing:
            existing_ = Existing::fine;
            return make_();
        case storefile::ReadOutcome::unreadable:
            existing_ = Existing::unreadable;
            return make_();
        case storefile::ReadOutcome::read:
            break;
        }
        if (auto value = decode(bytes)) {
            existing_ = Existing::fine;
            return std::move(*value);
        }
        existing_ = Existing::unreadable;
        return make_();
    }

    void save(const T& value) {
        if (readOnly || url_.empty())
            return;
        std::string bytes;
        try {
            bytes = storefile::dump(jsoncoding::encodeForFile(value));
        } catch (const std::exception&) {
            return;
        }
        if (existing_ == Existing::unknown)
            existing_ = fileDecodes() ? Existing::fine : Existing::unreadable;
        // A file we could not read (perhaps only for a moment) is the user's only copy of
        // their history: keep it aside rather than overwrite it, or do not save at all.
        if (existing_ == Existing::unreadable && !storefile::keepUnreadable(url_))
            return;
        if (storefile::writeAtomically(url_, bytes))
            existing_ = Existing::fine;
    }

private:
    enum class Existing { unknown, fine, unreadable };

    JSONFileStore(std::optional<std::filesystem::path> file, std::function<T()> make)
        : url_(file.value_or(std::filesystem::path())), make_(std::move(make)) {}

    static std::filesystem::path locate(const std::string& name,
                                        const std::optional<std::filesystem::path>& folder) {
        if (folder)
            return *folder / name;
        if (auto state = stateFolder())
            return *state / name;
        return {};
    }

    static std::optional<T> decode(std::string_view bytes) {
        auto parsed = storefile::parse(bytes);
        if (!parsed)
            return std::nullopt;
        try {
            T value{};
            jsoncoding::decodeValue(*parsed, value);
            return value;
        } catch (const std::exception&) {
            return std::nullopt;
        }
    }

    // Whether the file on disk (if any) decodes; only asked when saving before any load.
    bool fileDecodes() const {
        std::string bytes;
        switch (storefile::readFile(url_, bytes)) {
        case storefile::ReadOutcome::missing:
            return true;
        case storefile::ReadOutcome::unreadable:
            return false;
        case storefile::ReadOutcome::read:
            break;
        }
        return decode(bytes).has_value();
    }

    std::filesystem::path url_;
    std::function<T()> make_;
    Existing existing_ = Existing::unknown;
};

} // namespace quorvane

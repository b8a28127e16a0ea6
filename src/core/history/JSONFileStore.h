#pragma once

#include "history/JSONCoding.h"

#include <nlohmann/json.hpp>

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
// Mac; "$XDG_DATA_HOME/Quorvane Backup" (or "~/.local/share/...") elsewhere. Reads HOME and
// XDG_DATA_HOME from the environment; a real folder on this machine, never in a simulated Mac.
std::filesystem::path stateFolder();
// The same from given values (an empty or relative XDG_DATA_HOME is ignored, as the XDG rules
// say); absent when there is no home folder either.
std::optional<std::filesystem::path> stateFolderFor(const std::optional<std::string>& home,
                                                    const std::optional<std::string>& xdgDataHome);

// The byte-level work under JSONFileStore, kept out of the template.
namespace storefile {

enum class ReadOutcome { read, missing, unreadable };

// Reads a regular file of at most maxStoreFileBytes into `bytes`.
ReadOutcome readFile(const std::filesystem::path& file, std::string& bytes);

// Parses JSON text, refusing text nested deeper than any state file needs (deep nesting costs
// memory out of all proportion to the file's size). Absent when it is not JSON.
std::optional<nlohmann::json> parse(std::string_view bytes);

// Pretty-printed JSON text (two-space indent); invalid UTF-8 in strings is replaced, not thrown.
std::string dump(const nlohmann::json& value);

// Writes `bytes` to a temporary file beside `file`, flushes it to disk and renames it over
// `file`, so a crash or full disk leaves either the old or the new file whole. Creates the
// folder first. False when anything failed; the old file is then untouched.
bool writeAtomically(const std::filesystem::path& file, std::string_view bytes);

// Keeps an undecodable `file` as "<file>.unreadable" before it is replaced; never overwrites
// an existing copy.
void keepUnreadable(const std::filesystem::path& file);

} // namespace storefile

// One JSON state file holding one record type T (which has to_json/from_json). Loading never
// fails: a missing, unreadable, oversized or undecodable file gives make(). Saving is atomic
// and silent on failure. Used from one thread only.
template <class T> class JSONFileStore {
public:
    // `name` is the file name inside `folder`, or inside the state folder when absent.
    // Touches no file.
    JSONFileStore(
        std::string name, std::optional<std::filesystem::path> folder,
        std::function<T()> make = [] { return T{}; })
        : url_((folder ? *folder : stateFolder()) / name), make_(std::move(make)) {}
    explicit JSONFileStore(std::string name) : JSONFileStore(std::move(name), std::nullopt) {}

    const std::filesystem::path& url() const { return url_; }

    // When true, save does nothing.
    bool readOnly = false;

    T load() {
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
        if (readOnly)
            return;
        std::string bytes;
        try {
            bytes = storefile::dump(jsoncoding::encodeValue(value));
        } catch (const std::exception&) {
            return;
        }
        if (existing_ == Existing::unknown)
            existing_ = fileDecodes() ? Existing::fine : Existing::unreadable;
        // A file we could not read is the user's only copy of their history: keep it aside
        // rather than overwrite it.
        if (existing_ == Existing::unreadable)
            storefile::keepUnreadable(url_);
        if (storefile::writeAtomically(url_, bytes))
            existing_ = Existing::fine;
    }

private:
    enum class Existing { unknown, fine, unreadable };

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

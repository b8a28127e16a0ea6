#include "base/MacPath.h"

#include <unicode/unistr.h>

#include <algorithm>
#include <cstdint>

namespace quorvane {

std::vector<std::string> pathComponents(std::string_view path) {
    std::vector<std::string> components;
    if (!path.empty() && path.front() == '/')
        components.emplace_back("/");
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string_view::npos)
            end = path.size();
        std::string_view part = path.substr(start, end - start);
        if (!part.empty() && part != ".")
            components.emplace_back(part);
        start = end + 1;
    }
    return components;
}

std::string finalComponent(std::string_view path) {
    std::vector<std::string> components = pathComponents(path);
    return components.empty() ? std::string() : components.back();
}

std::optional<std::vector<std::string>> homeFolder(std::string_view path) {
    std::vector<std::string> components = pathComponents(path);
    if (components.size() >= 3 && components[0] == "/" && components[1] == "Users" &&
        components[2] != "Shared")
        return std::vector<std::string>(components.begin(), components.begin() + 3);
    return std::nullopt;
}

std::string expandTilde(std::string_view path, std::string_view home) {
    if (path == "~" || path.starts_with("~/"))
        return std::string(home) + std::string(path.substr(1));
    return std::string(path);
}

std::string standardisedMacPath(std::string_view path) {
    const bool absolute = path.starts_with('/');
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string_view::npos)
            end = path.size();
        const std::string_view part = path.substr(start, end - start);
        if (part == "..") {
            if (!parts.empty() && parts.back() != "..")
                parts.pop_back();
            else if (!absolute)
                parts.push_back(part);
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        start = end + 1;
    }
    std::string result = absolute ? "/" : "";
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i > 0)
            result += '/';
        result += parts[i];
    }
    return result.empty() ? "." : result;
}

std::string caseFoldedPath(std::string_view path) {
    if (std::all_of(path.begin(), path.end(), [](char c) { return (c & 0x80) == 0; })) {
        std::string folded(path);
        for (char& c : folded)
            if (c >= 'A' && c <= 'Z')
                c = static_cast<char>(c - 'A' + 'a');
        return folded;
    }
    std::string folded;
    icu::UnicodeString::fromUTF8(
        icu::StringPiece(path.data(), static_cast<std::int32_t>(path.size())))
        .foldCase()
        .toUTF8String(folded);
    return folded;
}

bool pathIsWithin(std::string_view path, std::string_view folder) {
    if (folder.empty() || !path.starts_with(folder))
        return false;
    if (path.size() == folder.size() || folder == "/")
        return true;
    return path[folder.size()] == '/';
}

} // namespace quorvane

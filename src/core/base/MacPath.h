#pragma once

// Text operations on the watched Mac's own paths ("/Users/ann/Documents"). None of them touches
// a disk: they are what every layer uses to compare, shorten and expand Mac paths.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvane {

// The components of `path`, the first being "/" for an absolute path; empty components and "."
// are dropped ("/Users/ann/" gives "/", "Users", "ann"); ".." is kept as it stands.
std::vector<std::string> pathComponents(std::string_view path);

// The last component of `path` ("Documents" for "/Users/ann/Documents/"), "/" for the root and
// empty for an empty path.
std::string finalComponent(std::string_view path);

// The components of the home folder `path` lies in ("/", "Users", name); absent outside
// "/Users/<name>" and for "/Users/Shared".
std::optional<std::vector<std::string>> homeFolder(std::string_view path);

// `path` with a leading "~" (alone or followed by "/") replaced by `home`; any other path,
// "~bob/x" included, unchanged. The result is not standardised.
std::string expandTilde(std::string_view path, std::string_view home);

// Lexical standardisation: no empty or "." components, no trailing "/", ".." removes the
// component before it (an absolute path cannot climb above "/"; a relative one keeps the climbs
// it cannot resolve). An empty result is ".". Never looks at the disk, so links are not resolved.
std::string standardisedMacPath(std::string_view path);

// `path` with its case folded (full Unicode case folding), for comparing paths the way a Mac's
// case-insensitive disk does.
std::string caseFoldedPath(std::string_view path);

// Whether the standardised path `path` is `folder` (also standardised) or lies inside it.
bool pathIsWithin(std::string_view path, std::string_view folder);

} // namespace quorvane

#include "othertools/ToolText.h"

#include <unicode/locid.h>
#include <unicode/unistr.h>
#include <unicode/ustring.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>

namespace quorvane {

namespace {

std::string_view withoutPlus(std::string_view text) {
    if (!text.empty() && text.front() == '+' && text.size() > 1 && text[1] != '-')
        text.remove_prefix(1);
    return text;
}

} // namespace

bool isValidUTF8(std::string_view bytes) {
    if (bytes.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()))
        return false;
    // Pre-flighting the conversion checks the whole input without converting it.
    std::int32_t length = 0;
    UErrorCode error = U_ZERO_ERROR;
    u_strFromUTF8(nullptr, 0, &length, bytes.data(), static_cast<std::int32_t>(bytes.size()),
                  &error);
    return error == U_BUFFER_OVERFLOW_ERROR || U_SUCCESS(error);
}

std::string utf8OrEmpty(std::string_view bytes) {
    return isValidUTF8(bytes) ? std::string(bytes) : std::string();
}

std::string lowercased(std::string_view text) {
    bool ascii = true;
    for (char c : text)
        ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    std::string out(text);
    if (ascii) {
        for (char& c : out)
            if (c >= 'A' && c <= 'Z')
                c = static_cast<char>(c - 'A' + 'a');
        return out;
    }
    out.clear();
    icu::UnicodeString::fromUTF8(
        icu::StringPiece(text.data(), static_cast<std::int32_t>(text.size())))
        .toLower(icu::Locale::getRoot())
        .toUTF8String(out);
    return out;
}

std::optional<double> decimalNumber(std::string_view text) {
    text = withoutPlus(text);
    double value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() ||
        !std::isfinite(value))
        return std::nullopt;
    return value;
}

std::optional<std::int64_t> decimalInteger(std::string_view text) {
    text = withoutPlus(text);
    std::int64_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

} // namespace quorvane

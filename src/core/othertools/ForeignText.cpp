#include "othertools/ForeignText.h"

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/unistr.h>

#include <cstdint>
#include <memory>

namespace quorvane {

namespace {

constexpr std::size_t inputLimit = 64 * 1024;

bool plainASCII(std::string_view text) {
    for (char c : text)
        if (static_cast<unsigned char>(c) >= 0x80)
            return false;
    return true;
}

icu::UnicodeString decode(std::string_view bytes) {
    return icu::UnicodeString::fromUTF8(
        icu::StringPiece(bytes.data(), static_cast<std::int32_t>(bytes.size())));
}

} // namespace

std::string repairedUTF8(std::string_view bytes) {
    if (plainASCII(bytes))
        return std::string(bytes);
    std::string out;
    // ICU replaces each ill-formed sequence with U+FFFD while decoding.
    decode(bytes).toUTF8String(out);
    return out;
}

std::string firstCharacters(std::string_view text, std::size_t count) {
    if (text.size() > inputLimit) {
        // A CR LF straddling the cut stays whole, so no lone CR comes out of it.
        const bool splitsLineBreak = text[inputLimit - 1] == '\r' && text[inputLimit] == '\n';
        text = text.substr(0, inputLimit + (splitsLineBreak ? 1 : 0));
    }
    if (plainASCII(text)) {
        // CR LF is one character, as the break iterator below counts it.
        std::size_t end = 0;
        for (std::size_t i = 0; i < count && end < text.size(); ++i)
            end += text.substr(end, 2) == "\r\n" ? 2 : 1;
        return std::string(text.substr(0, end));
    }
    icu::UnicodeString decoded = decode(text);
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::BreakIterator> characters(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    std::string out;
    if (U_FAILURE(status) || !characters) {
        decoded.toUTF8String(out);
        return out;
    }
    characters->setText(decoded);
    std::int32_t end = characters->first();
    for (std::size_t i = 0; i < count; ++i) {
        std::int32_t next = characters->next();
        if (next == icu::BreakIterator::DONE) {
            end = decoded.length();
            break;
        }
        end = next;
    }
    decoded.tempSubString(0, end).toUTF8String(out);
    return out;
}

std::optional<std::string> columnText(sqlite3_stmt* statement, int column) {
    if (sqlite3_column_type(statement, column) == SQLITE_NULL)
        return std::nullopt;
    const unsigned char* text = sqlite3_column_text(statement, column);
    if (!text)
        return std::nullopt;
    auto size = static_cast<std::size_t>(sqlite3_column_bytes(statement, column));
    return repairedUTF8(std::string_view(reinterpret_cast<const char*>(text), size));
}

} // namespace quorvane

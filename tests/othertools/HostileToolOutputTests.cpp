// Other applications' output is untrusted: the parsers of Carbon Copy Cloner's, Arq's and
// Backblaze's output must survive anything and still say something sensible.
#include "health/Days.h"
#include "othertools/Arq.h"
#include "othertools/Backblaze.h"
#include "othertools/CarbonCopyCloner.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace quorvane {
namespace {

const Date now = dateFromUnix(1717243200); // 2024-06-01T12:00:00Z

std::string repeated(std::string_view part, std::size_t times) {
    std::string text;
    text.reserve(part.size() * times);
    for (std::size_t i = 0; i < times; ++i)
        text += part;
    return text;
}

// Reproducible bytes of every value, separators and quotes included.
std::string garbage(std::size_t size) {
    std::string bytes(size, '\0');
    std::uint32_t state = 2463534242u;
    for (char& byte : bytes) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        byte = static_cast<char>(state & 0xFF);
    }
    return bytes;
}

struct HostileCase {
    const char* name;
    std::string input;
};

std::vector<HostileCase> hostileInputs() {
    const std::string deep = repeated("[", 100'000) + repeated("]", 100'000);
    return {
        {"empty", ""},
        {"binaryGarbage", garbage(256 * 1024)},
        {"nulBytes", std::string(1000, '\0')},
        {"deepArrays", "{\"backupPlans\": " + deep + "}"},
        {"deepObjects", repeated("{\"a\":", 100'000) + "1" + repeated("}", 100'000)},
        {"deepUnclosed", repeated("{\"backupPlans\":[", 100'000)},
        {"deepInsidePlan", "{\"backupPlans\": [{\"name\": \"A\", \"x\": " + deep + "}]}"},
        {"unterminatedQuotes", repeated("\"Daily,Macintosh HD,Disk,1717000000,,,Success\n", 1000)},
        {"onlyQuotes", std::string(100'000, '"')},
        {"severalMegabyteLine", std::string(5'000'000, 'x')},
        {"severalMegabytesOfSeparators",
         std::string(3'000'000, ',') + "\n" + std::string(3'000'000, '|')},
        {"unclosedAttribute", "gmt_millis=\"" + std::string(2'000'000, '7')},
        {"invalidUTF8", "Daily,s,d,1717000000,,,Success \xff\xfe\n{\"backupPlans\":[]}\xc0"},
    };
}

class HostileToolOutput : public ::testing::TestWithParam<HostileCase> {};

void expectSane(const std::vector<ToolStatus>& statuses, ToolStatus::Tool tool) {
    for (const ToolStatus& status : statuses) {
        EXPECT_EQ(status.tool, tool);
        // No status ever carries a date that cannot be real.
        EXPECT_EQ(status.lastSuccess, plausibleDate(status.lastSuccess, now));
        EXPECT_EQ(status.lastAttempt, plausibleDate(status.lastAttempt, now));
    }
}

TEST_P(HostileToolOutput, ParsersSurvive) {
    const std::string& input = GetParam().input;

    expectSane(parseCCCHistory(input, now), ToolStatus::Tool::ccc);
    const std::vector<ToolStatus> ccc = cccStatuses(input, input, now);
    EXPECT_FALSE(ccc.empty());
    expectSane(ccc, ToolStatus::Tool::ccc);
    for (const std::string& name : parseCCCTaskNames(input))
        EXPECT_FALSE(name.empty());
    // One field per separator is what csvFields promises, so it gets a bounded piece here.
    EXPECT_FALSE(csvFields(std::string_view(input).substr(0, 100'000)).empty());

    expectSane(parseArqStats(input, now), ToolStatus::Tool::arq);
    const std::vector<ToolStatus> arq = arqStatuses(input, now);
    EXPECT_FALSE(arq.empty());
    expectSane(arq, ToolStatus::Tool::arq);

    const ToolStatus backblaze = parseBackblaze(input, input, true, input, input, now);
    expectSane({backblaze}, ToolStatus::Tool::backblaze);
    EXPECT_FALSE(backblaze.failed);
    backblazePauseText(input, now);
}

INSTANTIATE_TEST_SUITE_P(Inputs, HostileToolOutput, ::testing::ValuesIn(hostileInputs()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(HostileToolOutput, DeepJSONIsRefusedNotParsed) {
    const std::string deep = repeated("[", 100'000) + repeated("]", 100'000);
    EXPECT_TRUE(parseArqStats("{\"x\": " + deep + "}", now).empty());
    const std::vector<ToolStatus> unknown = arqStatuses("{\"x\": " + deep + "}", now);
    ASSERT_EQ(unknown.size(), 1u);
    EXPECT_TRUE(unknown[0].unreadable);

    // Nesting of a few levels, as Arq writes it, is fine.
    EXPECT_EQ(parseArqStats("{\"backupPlans\": [{\"x\": [[[[{\"y\": [1]}]]]]}]}", now).size(), 1u);
}

TEST(HostileToolOutput, UnterminatedQuoteSwallowsTheRestOfItsLineOnly) {
    const std::vector<ToolStatus> statuses =
        parseCCCHistory("\"Daily,Macintosh HD,Disk,1717000000,,,Success\n"
                        "Weekly,Macintosh HD,Disk,1717000000,,,Success\n",
                        now);
    ASSERT_EQ(statuses.size(), 1u);
    EXPECT_EQ(statuses[0].name, "Weekly");
}

TEST(HostileToolOutput, LongFieldsAreKeptWhole) {
    const std::string result(3'000'000, 'e');
    const std::vector<ToolStatus> statuses =
        parseCCCHistory("Daily,s,d,1717000000,,," + result + "," + std::string(100, '9'), now);
    ASSERT_EQ(statuses.size(), 1u);
    EXPECT_TRUE(statuses[0].failed);
    EXPECT_NE(statuses[0].reason->find(result), std::string::npos);

    const std::string message(2'000'000, 'm');
    const std::vector<ToolStatus> plans = parseArqStats(
        R"({"backupPlans": [{"latestActivity": {"aborted": true, "errors": [{"message": ")" +
            message + R"("}]}}]})",
        now);
    ASSERT_EQ(plans.size(), 1u);
    EXPECT_EQ(plans[0].reason, "Arq reported: " + message);
}

TEST(HostileToolOutput, RunawayJobListsAreCut) {
    std::string history;
    std::string plans = "{\"backupPlans\": [";
    for (int i = 0; i <= 10'000; ++i) {
        history += "Task " + std::to_string(i) + ",s,d,1717000000,,,Success\n";
        plans += std::string(i == 0 ? "" : ",") + "{\"name\": \"Plan " + std::to_string(i) + "\"}";
    }
    plans += "]}";
    const std::vector<ToolStatus> tasks = parseCCCHistory(history, now);
    ASSERT_EQ(tasks.size(), 10'000u);
    EXPECT_EQ(tasks.back().name, "Task 9999");
    EXPECT_EQ(cccStatuses(history, "\"Never ran\"", now).size(), 10'000u);
    const std::vector<ToolStatus> arq = parseArqStats(plans, now);
    ASSERT_EQ(arq.size(), 10'000u);
    EXPECT_EQ(arq.back().name, "Plan 9999");
}

} // namespace
} // namespace quorvane

#include "timemachine/TimeMachineLog.h"

#include "base/IsoDate.h"
#include "process/FakeTools.h"
#include "support/TempMac.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sys/stat.h>

using namespace quorvane;
using quorvane::testing::fixtureText;
using quorvane::testing::installTool;
using quorvane::testing::TempMac;

namespace {

Date iso(const char* text) {
    return *parseIsoDate(text);
}

const Date windowStart = iso("2026-07-26T06:00:00Z");

const std::vector<LogEntry> expectedEntries{
    {"Backup failed with error 19: BACKUP_FAILED_TARGETVOL_NOT_MOUNTED",
     iso("2026-07-26T06:11:22.348728Z")},
    {"NAConnectToServerSync failed with error: 60 for url: smb://nas.local/TimeMachine",
     iso("2026-07-26T06:15:00.5Z")},
    {"Sauvegarde \xC3\xA9\x63hou\xC3\xA9\x65 sur \xC2\xAB Disque d\xE2\x80\x99\x41nn \xC2\xBB "
     "\xF0\x9F\x92\xBE",
     iso("2026-07-26T06:20:00Z")},
    {"Backup succeeded", iso("2026-07-26T06:30:00Z")},
};

std::string entryLine(const std::string& timestamp, const std::string& type,
                      const std::string& message) {
    return R"({"eventType":"logEvent","messageType":")" + type + R"(","timestamp":")" + timestamp +
           R"(","subsystem":"com.apple.TimeMachine","eventMessage":")" + message + "\"}\n";
}

std::vector<std::string> readLines(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

void installLog(const TempMac& mac) {
    installTool(mac, "/usr/bin/log", "log");
    mac.write("/usr/bin/log-show.ndjson", fixtureText("tools/log-show.ndjson"));
}

} // namespace

TEST(TimeMachineLog, CollectsKeptEntriesFromCapturedOutput) {
    LogCollector collector(windowStart);
    collector.feed(fixtureText("tools/log-show.ndjson"));
    EXPECT_EQ(collector.finish(), expectedEntries);
}

TEST(TimeMachineLog, ChunkBoundariesDoNotMatter) {
    const std::string text = fixtureText("tools/log-show.ndjson");
    for (std::size_t size : {1u, 7u, 4096u}) {
        LogCollector collector(windowStart);
        for (std::size_t at = 0; at < text.size(); at += size)
            collector.feed(std::string_view(text).substr(at, size));
        EXPECT_EQ(collector.finish(), expectedEntries) << size;
    }
}

TEST(TimeMachineLog, SurvivesHostileLines) {
    const std::string kept = entryLine("2026-07-26 08:00:01+0200", "Error", "kept");
    const std::string huge =
        entryLine("2026-07-26 08:00:02+0200", "Error", std::string(maxLogLineBytes, 'x'));
    const std::string deep = R"({"eventType":"logEvent","eventMessage":"deep","messageType":)"
                             R"("Error","timestamp":"2026-07-26 08:00:03+0200","x":)" +
                             std::string(500000, '[') + std::string(500000, ']') + "}\n";
    std::string crlf = entryLine("2026-07-26 08:00:05+0200", "Fault", "crlf");
    crlf.insert(crlf.size() - 1, "\r");
    const std::string input =
        huge + kept + "\xFF\xFE\n" + "{\"eventType\":\n" + "[1,2,3]\n" + "{}\n" + "null\n" +
        R"({"eventType":"logEvent","eventMessage":7,"messageType":"Error","timestamp":"x"})"
        "\n" +
        R"({"eventType":"logEvent","eventMessage":"no time","messageType":"Error"})"
        "\n" +
        R"({"eventType":"logEvent","x":{"eventMessage":"nested","messageType":"Error",)"
        R"("timestamp":"2026-07-26 08:00:04+0200"}})"
        "\n" +
        entryLine("2026-07-26 08:00:04+0200", "Error", "trailing").insert(0, "{}") +
        entryLine("2026-07-26 08:00:04", "Error", "no offset") +
        entryLine("2026-13-26 08:00:04+0200", "Error", "bad month") + deep + crlf +
        entryLine("2026-07-26 08:00:06+0200", "Error", "last, unterminated");
    LogCollector collector(windowStart);
    collector.feed(input.substr(0, input.size() - 1)); // drop the final newline
    std::vector<std::string> messages;
    for (const LogEntry& entry : collector.finish())
        messages.push_back(entry.message);
    EXPECT_EQ(messages, (std::vector<std::string>{"kept", "deep", "crlf", "last, unterminated"}));
}

TEST(TimeMachineLog, KeepsOnlyTheNewestEntriesWhenThereAreTooMany) {
    LogCollector collector(windowStart);
    for (std::size_t i = 0; i < maxKeptLogEntries + 3; ++i)
        collector.feed(entryLine("2026-07-26 08:00:00+0200", "Error", std::to_string(i)));
    const auto entries = collector.finish();
    ASSERT_EQ(entries.size(), maxKeptLogEntries);
    EXPECT_EQ(entries.front().message, "3");
    EXPECT_EQ(entries.back().message, std::to_string(maxKeptLogEntries + 2));
}

TEST(TimeMachineLog, ParsesTheToolsTimestamps) {
    const struct {
        const char* text;
        std::optional<Date> date;
    } cases[] = {
        {"2026-07-26 18:11:22.348728+1200", iso("2026-07-26T06:11:22.348728Z")},
        {"2026-07-26 08:11:22+0200", iso("2026-07-26T06:11:22Z")},
        {"2026-07-25 20:11:22.000000-1000", iso("2026-07-26T06:11:22Z")},
        {"2026-07-26T18:11:22.348728+1200", std::nullopt},
        {"2026-07-26 18:11:22.348728", std::nullopt},
        {"2026-02-30 18:11:22.348728+1200", std::nullopt},
        {"", std::nullopt},
        {"yesterday at noon", std::nullopt},
    };
    for (const auto& c : cases) {
        const auto date = parseLogTimestamp(c.text);
        ASSERT_EQ(date.has_value(), c.date.has_value()) << c.text;
        if (date) {
            EXPECT_NEAR(unixSeconds(*date), unixSeconds(*c.date), 1e-5) << c.text;
        }
    }
}

TEST(TimeMachineLog, StartTextIsLocalTimeRoundedDown) {
    // The tests run in Europe/Berlin.
    EXPECT_EQ(logStartText(iso("2026-07-26T06:11:22.9Z")), "2026-07-26 08:11:22");
    EXPECT_EQ(logStartText(iso("2026-01-15T23:30:00Z")), "2026-01-16 00:30:00");
}

TEST(TimeMachineLog, ReadsThroughTheMacsLogTool) {
    TempMac mac;
    installLog(mac);
    const LogReading reading = readTimeMachineLog(mac.mac(), windowStart);
    EXPECT_EQ(reading, LogReading::lines(expectedEntries));
    EXPECT_EQ(readLines(mac.host("/usr/bin/log-arguments")),
              (std::vector<std::string>{"show", "--style", "ndjson", "--predicate",
                                        "subsystem == \"com.apple.TimeMachine\"", "--start",
                                        "2026-07-26 08:00:00"}));
}

TEST(TimeMachineLog, RefusalForPermissionIsNotAllowed) {
    TempMac mac;
    installLog(mac);
    mac.write("/usr/bin/log-show.denied", "");
    EXPECT_EQ(readTimeMachineLog(mac.mac(), windowStart), LogReading::notAllowed());
}

TEST(TimeMachineLog, OtherFailuresAreFailedWithADescription) {
    const struct {
        const char* what;
        std::function<void(const TempMac&)> prepare;
        std::string description;
    } cases[] = {
        {"non-zero exit with valid output",
         [](const TempMac& m) {
             installLog(m);
             m.write("/usr/bin/log-show.exit", "1");
             m.write("/usr/bin/log-show.stderr", "\n  log: the store is damaged  \nmore\n");
         },
         "log: the store is damaged"},
        {"non-zero exit without a word",
         [](const TempMac& m) {
             installLog(m);
             m.write("/usr/bin/log-show.exit", "3");
         },
         "The log tool failed with status 3."},
        {"missing tool", [](const TempMac&) {}, "The log tool could not be run."},
        {"untrusted tool",
         [](const TempMac& m) {
             installLog(m);
             ::chmod(m.host("/usr/bin/log").c_str(), 0777);
         },
         "The log tool could not be run."},
        {"flooding tool", [](const TempMac& m) { installTool(m, "/usr/bin/log", "flood"); },
         "The log tool wrote more than can be read."},
    };
    for (const auto& c : cases) {
        TempMac mac;
        c.prepare(mac);
        EXPECT_EQ(readTimeMachineLog(mac.mac(), windowStart), LogReading::failed(c.description))
            << c.what;
    }
}

TEST(TimeMachineLog, HangingToolTimesOutAsFailed) {
    TempMac mac;
    installTool(mac, "/usr/bin/log", "hang");
    EXPECT_EQ(readTimeMachineLog(mac.mac(), windowStart, 0.3),
              LogReading::failed("The log tool did not finish in time."));
}

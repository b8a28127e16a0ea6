#include "platform/DesktopNotifications.h"

#include "TestBus.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QJsonArray>
#include <QSignalSpy>

#include <optional>

namespace quorvane {
namespace {

using testing::FakeNotificationService;
using testing::TestBus;

TEST(DesktopNotifications, NotifyCarriesTheAppNameActionsHintsAndReplacesTheLastOfItsIdentifier) {
    TestBus bus;
    FakeNotificationService service(bus);
    DesktopNotifications notifications(bus.connection());

    notifications.post({"failing:D1", "Backups are failing", "Detail.", true});
    ASSERT_TRUE(service.waitForNotifications(1));
    notifications.post({"weekly", "Your week", "All fine.", false});
    ASSERT_TRUE(service.waitForNotifications(2));
    // The service answers in order: once a later call is answered, both ids are known here.
    bool answered = false;
    notifications.probe([&](bool) { answered = true; });
    ASSERT_TRUE(QTest::qWaitFor([&] { return answered; }, 3000));
    notifications.post({"failing:D1", "Backups are failing", "Still.", true});
    ASSERT_TRUE(service.waitForNotifications(3));

    const auto posted = service.notifications();
    const QJsonObject first = posted[0];
    EXPECT_EQ(first["app_name"], "Quorvane Ombrel");
    EXPECT_EQ(first["replaces_id"], 0);
    EXPECT_EQ(first["summary"], "Backups are failing");
    EXPECT_EQ(first["body"], "Detail.");
    EXPECT_EQ(first["actions"], (QJsonArray{"default", "Open"}));
    EXPECT_EQ(first["expire_timeout"], -1);
    EXPECT_EQ(first["hints"].toObject(), (QJsonObject{{"desktop-entry", "quorvane-ombrel"},
                                                      {"sound-name", "message-new-instant"}}));
    // Without sound.
    EXPECT_EQ(posted[1]["hints"].toObject(),
              (QJsonObject{{"desktop-entry", "quorvane-ombrel"}, {"suppress-sound", true}}));
    EXPECT_EQ(posted[1]["replaces_id"], 0);
    // The fake numbers its notifications from 1: the third replaces the first.
    EXPECT_EQ(posted[2]["replaces_id"], 1);
}

TEST(DesktopNotifications, BodyIsEscapedOnlyForServersThatReadMarkup) {
    for (const bool markup : {false, true}) {
        TestBus bus;
        FakeNotificationService service(bus, markup ? QStringList{"--markup"} : QStringList{});
        DesktopNotifications notifications(bus.connection());
        notifications.post({"tool:a", "Arq <plan> & co", "Plan <b>x</b> & \"y\"", true});
        ASSERT_TRUE(service.waitForNotifications(1));
        const QJsonObject posted = service.notifications()[0];
        EXPECT_EQ(posted["summary"], "Arq <plan> & co") << markup;
        EXPECT_EQ(posted["body"],
                  markup ? "Plan &lt;b&gt;x&lt;/b&gt; &amp; \"y\"" : "Plan <b>x</b> & \"y\"");
    }
}

TEST(DesktopNotifications, ProbeSaysWhetherTheServiceAnswersWithoutBlocking) {
    struct Row {
        const char* name;
        std::optional<QStringList> service; // absent: no service on the bus
        bool answers;
    };
    const Row rows[] = {
        {"answering service", QStringList{}, true},
        {"no service", std::nullopt, false},
        {"service answering with errors", QStringList{"--errors"}, false},
        {"service that never answers", QStringList{"--silent"}, false},
    };
    for (const Row& row : rows) {
        TestBus bus;
        std::optional<FakeNotificationService> service;
        if (row.service)
            service.emplace(bus, *row.service);
        DesktopNotifications notifications(bus.connection());
        std::optional<bool> answer;
        QElapsedTimer sinceCall;
        sinceCall.start();
        notifications.probe([&](bool answered) { answer = answered; });
        // The call returns at once; the answer comes through the event loop.
        EXPECT_FALSE(answer.has_value()) << row.name;
        EXPECT_LT(sinceCall.elapsed(), 500) << row.name;
        ASSERT_TRUE(QTest::qWaitFor([&] { return answer.has_value(); }, 5000)) << row.name;
        EXPECT_EQ(*answer, row.answers) << row.name;
        EXPECT_LT(sinceCall.elapsed(), DesktopNotifications::answerTimeoutMs + 1500) << row.name;
    }
}

TEST(DesktopNotifications, PostingToAServiceThatNeverAnswersStillSendsAfterTheTimeOut) {
    TestBus bus;
    FakeNotificationService service(bus, {"--silent"});
    DesktopNotifications notifications(bus.connection());
    notifications.post({"digest", "Quorvane Ombrel: 1 problem", "A & B", true});
    // The capabilities go unanswered: the body goes out as plain text once they time out.
    ASSERT_TRUE(service.waitForNotifications(1, 6000));
    EXPECT_EQ(service.notifications()[0]["body"], "A & B");
}

TEST(DesktopNotifications, ClickOnOneOfOurNotificationsReportsItsIdentifier) {
    TestBus bus;
    FakeNotificationService service(bus);
    DesktopNotifications notifications(bus.connection());
    QSignalSpy activated(&notifications, &DesktopNotifications::activated);
    notifications.post({"failing:D1", "t", "b", true});
    ASSERT_TRUE(service.waitForNotifications(1));
    // The service answers in order: once a later call is answered, the id is known here.
    bool answered = false;
    notifications.probe([&](bool) { answered = true; });
    ASSERT_TRUE(QTest::qWaitFor([&] { return answered; }, 3000));

    service.click(7); // not ours
    service.click(1);
    // The signals arrive in order, so the foreign click has been seen by now.
    ASSERT_TRUE(activated.wait(3000));
    ASSERT_EQ(activated.size(), 1);
    EXPECT_EQ(activated[0][0].toString(), "failing:D1");
}

} // namespace
} // namespace quorvane

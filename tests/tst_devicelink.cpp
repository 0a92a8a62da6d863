// SPDX-License-Identifier: MIT
// The link to the unit: finding and opening it, the update-mode query and its
// answer, the input codes it ignores, and losing the unit.

#include "sim/tqr7hid.h"
#include "sim/wire.h"
#include "tests/support/dialogrun.h"
#include "tests/support/firmwarefolder.h"
#include "tests/support/freshunit.h"
#include "tests/support/probe.h"
#include "tests/support/texts.h"

#include <QtTest>

#include <algorithm>

using namespace Texts;

class TestDeviceLink : public FreshUnitTest
{
    Q_OBJECT

private slots:

    void noUnitIsLookedForEveryQuarterSecond();
    void attachedUnitIsOpenedAndPolledWithoutWaiting();
    void queryGoesOutEverySecondUntilAnswered();
    void answerMakesTheLinkReadyAndStopsQueries();
    void buttonNeedsFirmwareAndAReadyUnit();
    void otherInputCodesChangeNothing();
    void losingTheUnitResetsTheLinkUntilItAnswersAgain_data();
    void losingTheUnitResetsTheLinkUntilItAnswersAgain();
    void unitThatCannotBeOpenedIsNamedOnce_data();
    void unitThatCannotBeOpenedIsNamedOnce();
};

namespace {

std::vector<Tqr7Hid::Written> queries()
{
    std::vector<Tqr7Hid::Written> result;
    for (const Tqr7Hid::Written &report : Tqr7Hid::writtenReports()) {
        if (Wire::isQuery(report.bytes.data(), report.bytes.size()))
            result.push_back(report);
    }
    return result;
}

std::vector<double> gaps(const std::vector<double> &times)
{
    std::vector<double> result;
    for (size_t i = 1; i < times.size(); ++i)
        result.push_back(times[i] - times[i - 1]);
    return result;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

} // namespace

void TestDeviceLink::noUnitIsLookedForEveryQuarterSecond()
{
    Tqr7Hid::unplug();
    DialogRun run(FirmwareFolder::none());
    QVERIFY2(
        Tqr7Hid::openAttemptTimes().empty(), "the unit is first looked for by the poll, not the constructor");
    QTRY_VERIFY_WITH_TIMEOUT(Tqr7Hid::openAttemptTimes().size() >= 5, 10000);

    // Coarse timers may fire a little early; nothing near the 10 ms period.
    const double gap = median(gaps(Tqr7Hid::openAttemptTimes()));
    QVERIFY2(gap > 200 && gap < 400, qPrintable(QString::number(gap)));
    QVERIFY(Tqr7Hid::writtenReports().empty());
    QCOMPARE(run.status->text(), kNotConnected);
    QVERIFY(!run.button->isEnabled());
}

void TestDeviceLink::attachedUnitIsOpenedAndPolledWithoutWaiting()
{
    Tqr7Hid::setUpdateMode(false);
    DialogRun run(FirmwareFolder::none());
    QTRY_COMPARE_WITH_TIMEOUT(Tqr7Hid::openHandles(), 1, 10000);
    QCOMPARE(Tqr7Hid::openAttemptTimes().size(), size_t(1));
    QVERIFY(Tqr7Hid::nonBlocking());
    QTRY_COMPARE_WITH_TIMEOUT(run.status->text(), kNotInUpdateMode, 5000);

    QTRY_VERIFY_WITH_TIMEOUT(Tqr7Hid::readTimes().size() >= 30, 10000);
    const double gap = median(gaps(Tqr7Hid::readTimes()));
    QVERIFY2(gap >= 5 && gap < 50, qPrintable(QString::number(gap)));
    QVERIFY(!run.button->isEnabled());
}

void TestDeviceLink::queryGoesOutEverySecondUntilAnswered()
{
    // A unit outside its update mode never answers: the query repeats for ever.
    Tqr7Hid::setUpdateMode(false);
    DialogRun run(FirmwareFolder::none());
    QTRY_VERIFY_WITH_TIMEOUT(queries().size() >= 3, 15000);

    const auto sent = queries();
    const double opened = Tqr7Hid::openAttemptTimes().front();
    QVERIFY2(sent.front().timeMs - opened <= 1000 + 250,
        qPrintable(QString::number(sent.front().timeMs - opened)));
    for (size_t i = 1; i < sent.size(); ++i) {
        const double gap = sent[i].timeMs - sent[i - 1].timeMs;
        QVERIFY2(gap > 900 && gap < 1500, qPrintable(QString::number(gap)));
    }
    for (const auto &query : sent)
        QCOMPARE(query.bytes, Wire::query());
    QCOMPARE(queries().size(), Tqr7Hid::writtenReports().size());
    QCOMPARE(run.status->text(), kNotInUpdateMode);
    VERIFY_NO_VIOLATIONS();
}

void TestDeviceLink::answerMakesTheLinkReadyAndStopsQueries()
{
    DialogRun run(FirmwareFolder::none());
    QTRY_COMPARE_WITH_TIMEOUT(run.status->text(), kReady, 10000);
    const size_t sent = queries().size();
    QCOMPARE(sent, size_t(1));

    // Waiting for something not to happen: two more periods, and no query.
    QVERIFY(run.runFor(2200));
    QCOMPARE(queries().size(), sent);
    QCOMPARE(run.status->text(), kReady);
    VERIFY_NO_VIOLATIONS();
}

void TestDeviceLink::buttonNeedsFirmwareAndAReadyUnit()
{
    {
        DialogRun run(FirmwareFolder::none());
        QTRY_COMPARE_WITH_TIMEOUT(run.status->text(), kReady, 10000);
        QVERIFY(run.runFor(100));
        QVERIFY(!run.button->isEnabled());
    }
    Tqr7Hid::reset();
    Tqr7Hid::setUpdateMode(false);
    FirmwareFolder firmware;
    firmware.writeSet(3, 3, 3);
    DialogRun run(firmware.path());
    QTRY_COMPARE_WITH_TIMEOUT(run.status->text(), kNotInUpdateMode, 10000);
    QVERIFY(!run.button->isEnabled());
    Tqr7Hid::setUpdateMode(true);
    QTRY_COMPARE_WITH_TIMEOUT(run.status->text(), kReady, 10000);
    QVERIFY(run.button->isEnabled());
}

void TestDeviceLink::otherInputCodesChangeNothing()
{
    FirmwareFolder firmware;
    firmware.writeSet(3, 3, 3);
    DialogRun run(firmware.path());
    QTRY_VERIFY_WITH_TIMEOUT(run.button->isEnabled(), 10000);
    const size_t written = Tqr7Hid::writtenReports().size();

    // Unknown codes, whatever follows them, and a second update-mode answer.
    for (std::uint8_t code : {0x00, 0x03, 0x7F, 0xFF, 0x80})
        Tqr7Hid::injectInputReport({code, 0x01, 0x02, 0x80});
    const size_t reads = Tqr7Hid::readTimes().size();
    QTRY_VERIFY_WITH_TIMEOUT(Tqr7Hid::readTimes().size() >= reads + 20, 10000);

    QCOMPARE(Tqr7Hid::writtenReports().size(), written);
    QCOMPARE(run.status->text(), kReady);
    QVERIFY(run.button->isEnabled());
    QVERIFY(run.complete->isHidden());
    QCOMPARE(Tqr7Hid::openHandles(), 1);
}

void TestDeviceLink::losingTheUnitResetsTheLinkUntilItAnswersAgain_data()
{
    QTest::addColumn<bool>("byFailedQuery");
    QTest::newRow("read fails after unplug") << false;
    QTest::newRow("query write fails") << true;
}

void TestDeviceLink::losingTheUnitResetsTheLinkUntilItAnswersAgain()
{
    QFETCH(bool, byFailedQuery);
    FirmwareFolder firmware;
    firmware.writeSet(3, 3, 3);
    if (byFailedQuery) {
        Tqr7Hid::setUpdateMode(false);
        Tqr7Hid::failQueryWrites(1);
    }
    DialogRun run(firmware.path());
    if (!byFailedQuery) {
        QTRY_VERIFY_WITH_TIMEOUT(run.button->isEnabled(), 10000);
        Tqr7Hid::unplug();
    }
    QTRY_COMPARE_WITH_TIMEOUT(run.status->text(), kNotConnected, 10000);
    QCOMPARE(Tqr7Hid::openHandles(), 0);
    QVERIFY(!run.button->isEnabled());
    QCOMPARE(run.sub->value(), 0);
    QCOMPARE(run.overall->value(), 0);
    QCOMPARE(run.target->text(), kNoTarget);

    // Back to looking for the unit every 250 ms.
    const size_t before = Tqr7Hid::openAttemptTimes().size();
    if (!byFailedQuery) {
        QTRY_VERIFY_WITH_TIMEOUT(Tqr7Hid::openAttemptTimes().size() >= before + 3, 10000);
        std::vector<double> times = Tqr7Hid::openAttemptTimes();
        times.erase(times.begin(), times.begin() + long(before));
        const double gap = median(gaps(times));
        QVERIFY2(gap > 200 && gap < 400, qPrintable(QString::number(gap)));
        Tqr7Hid::attach();
    }

    // The returning unit must answer a new query before Update is offered.
    Tqr7Hid::setUpdateMode(false);
    const size_t queriesBefore = queries().size();
    QTRY_COMPARE_WITH_TIMEOUT(run.status->text(), kNotInUpdateMode, 10000);
    QVERIFY(!run.button->isEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(queries().size() > queriesBefore, 10000);
    Tqr7Hid::setUpdateMode(true);
    QTRY_COMPARE_WITH_TIMEOUT(run.status->text(), kReady, 10000);
    QVERIFY(run.button->isEnabled());
}

void TestDeviceLink::unitThatCannotBeOpenedIsNamedOnce_data()
{
    // Each phase changes the unit, then runs until its effect has settled; the
    // Device Open Failed lines written so far follow each phase.
    QTest::addColumn<QStringList>("phases");
    QTest::addColumn<QList<int>>("linesAfter");
    const auto phases = [](const char *list) { return QString::fromLatin1(list).split(QLatin1Char(',')); };
    QTest::newRow("denied while present") << phases("denied") << QList<int> {1};
    QTest::newRow("no unit") << phases("unplugged") << QList<int> {0};
    QTest::newRow("denied at one look, as before udev gives access")
        << phases("denied once") << QList<int> {0};
    QTest::newRow("denied, opened, denied again") << phases("denied,allowed,denied") << QList<int> {1, 1, 2};
    QTest::newRow("denied, pulled out, denied again")
        << phases("denied,unplugged,denied") << QList<int> {1, 1, 2};
}

void TestDeviceLink::unitThatCannotBeOpenedIsNamedOnce()
{
    QFETCH(QStringList, phases);
    QFETCH(QList<int>, linesAfter);
    const QString denied = QStringLiteral("Failed to open a device with path 'tqr7sim:0': Permission denied");
    Tqr7Hid::unplug();
    DialogRun run(FirmwareFolder::none());
    for (int i = 0; i < phases.size(); ++i) {
        const QString &phase = phases[i];
        if (phase == QLatin1String("denied")) {
            Tqr7Hid::denyOpens(-1);
            // An open unit is lost first, so that it is looked for again.
            if (Tqr7Hid::openHandles() > 0) {
                Tqr7Hid::unplug();
                QTRY_COMPARE_WITH_TIMEOUT(Tqr7Hid::openHandles(), 0, kDeadline);
            }
            Tqr7Hid::attach();
        } else if (phase == QLatin1String("denied once")) {
            Tqr7Hid::denyOpens(1);
            Tqr7Hid::attach();
            QTRY_COMPARE_WITH_TIMEOUT(Tqr7Hid::openHandles(), 1, kDeadline);
        } else if (phase == QLatin1String("allowed")) {
            Tqr7Hid::denyOpens(0);
            QTRY_COMPARE_WITH_TIMEOUT(Tqr7Hid::openHandles(), 1, kDeadline);
        } else {
            Tqr7Hid::unplug();
        }
        QVERIFY(run.runFor(600));

        // Same reason, same silence: no line, and not even a look for the unit.
        const int enumerations = Tqr7Hid::enumerations();
        QVERIFY(run.runFor(1000));
        QCOMPARE(Tqr7Hid::enumerations(), enumerations);
        const QStringList lines = run.log.linesStartingWith({kOpenFailed});
        QVERIFY2(lines.size() == linesAfter[i],
            qPrintable(phase + QLatin1String(": ") + lines.join(QLatin1Char('|'))));
        for (const QString &line : lines)
            QCOMPARE(line, openFailedLine(denied));
        if (Tqr7Hid::openHandles() == 0)
            QCOMPARE(run.status->text(), kNotConnected);
    }
}

QTEST_MAIN(TestDeviceLink)
#include "tst_devicelink.moc"

// SPDX-License-Identifier: MIT
// Fuzzes the unit's side of an update. The simulated unit stays silent on data
// reports; the input decides, step by step, what it answers instead and what
// else happens: unplugging, a failed write, 500 ms passing, the operator's
// press of Update, the link's own timers. The harness keeps a model of the
// exchange from what it did and checks every step of the real dialog against
// it: at most the one report that step may send, the status line, the button
// and the ending shown.
//
// Each input byte chooses an action (see Run::play); some read the next bytes
// as their parameter. The unit is made ready before the first action.

#include "tests/fuzz/harness.h"

#include "sim/tqr7hid.h"
#include "sim/wire.h"

#include <QLabel>
#include <QPushButton>

#include <cstdint>
#include <cstdio>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <tuple>
#include <vector>

using Tqr7Hid::Answer;

namespace {

using namespace Texts;

constexpr std::uint8_t kAck = Wire::kAcknowledge;
constexpr std::uint8_t kBoardTimeout = Wire::kBoardTimeout;
constexpr std::uint8_t kModeAnswer = Wire::kUpdateModeAnswer;

// Lines per target (GPIO, MIDI twice, main), end record included; small, so
// that short inputs reach the end of an update.
constexpr int kLines[] = {0, 3, 2, 2, 4};

std::map<std::pair<int, int>, std::vector<std::uint8_t>> lineReports; // the attempt byte left 0

using Harness::check;

struct Key
{
    int target, line, attempt;
    bool operator<(const Key &o) const
    {
        return std::tie(target, line, attempt) < std::tie(o.target, o.line, o.attempt);
    }
    bool operator==(const Key &o) const { return !(*this < o) && !(o < *this); }
    QString text() const
    {
        return QStringLiteral("target %1 line %2 attempt %3").arg(target).arg(line).arg(attempt);
    }
};

bool isEndRecord(const Key &k)
{
    return k.line == kLines[k.target];
}

enum class Link { Disconnected, Connected, Ready };

class Run
{
public:
    Run(const std::uint8_t *data, std::size_t size) : data(data), size(size)
    {
        check(widgets.found(), "widget missing");
    }

    void play()
    {
        poll();
        modeCheck();
        poll();
        // clang-format off
        while (pos < size) {
            switch (next() % 12) {
            case 0: deliver({kAck}); break;
            case 1: deliver({kBoardTimeout}); break;
            case 2: deliver({std::uint8_t(next())}); break;
            case 3: {
                std::vector<std::uint8_t> codes(2 + next() % 3);
                for (std::uint8_t &code : codes) {
                    const int c = next();
                    code = c < 0x60 ? kAck : c < 0xA0 ? kBoardTimeout : c < 0xB0 ? kModeAnswer : std::uint8_t(c);
                }
                deliver(codes);
                break;
            }
            case 4: unplug(); break;
            case 5: Tqr7Hid::attach(); attached = true; break;
            case 6: failNextWrite(next()); break;
            case 7: timePasses(); break;
            case 8: press(); break;
            case 9: poll(); break;
            case 10: modeCheck(); break;
            case 11: poll(); modeCheck(); poll(); break;
            }
        }
        // clang-format on
        timePasses(); // whatever still waits for an answer ends
        check(!running, "update still running at the end");
        for (const std::string &v : Tqr7Hid::violations()) {
            // The simulator expects its own answers; ours replace them.
            const bool ours = v.find("went unanswered") != std::string::npos
                || v.find("unit was lost at") != std::string::npos;
            check(ours, "unit saw a violation", QString::fromStdString(v));
        }
    }

private:
    int next() { return pos < size ? data[pos++] : 0; }

    // One call into the dialog: it may write the one report the model
    // expects (a data report of that key, or a query), or none; then the
    // display must match the model.
    void call(const char *slot, std::optional<Key> expected = std::nullopt, bool query = false)
    {
        const std::size_t before = Tqr7Hid::writtenReports().size();
        check(QMetaObject::invokeMethod(&dialog, slot, Qt::DirectConnection), "cannot invoke", slot);
        const std::vector<Tqr7Hid::Written> all = Tqr7Hid::writtenReports();
        const QString where = QString::fromLatin1(slot)
            + (expected ? QStringLiteral(", expected ") + expected->text() : QString());
        if (Harness::tracing())
            std::fprintf(stderr, "%s -> %s | %s\n", qPrintable(where), qPrintable(status->text()),
                qPrintable(result->isHidden() ? QStringLiteral("-") : result->text()));
        check(all.size() <= before + 1, "two reports in one step", where);
        const bool wrote = all.size() == before + 1;
        const std::vector<std::uint8_t> &r = wrote ? all.back().bytes : std::vector<std::uint8_t>();
        check(!wrote || r.size() == Wire::kOutputSize, "report is not 65 bytes", where);
        const bool wroteQuery = wrote && Wire::isQuery(r.data(), r.size());
        check(wroteQuery == query, "query written or missing", where);
        check((wrote && !wroteQuery) == expected.has_value(), "data report written or missing", where);
        if (!expected)
            return;
        const Wire::DataFields f = Wire::fields(r.data());
        const auto line = lineReports.find({f.target, f.line});
        check(line != lineReports.end(), "report of no line", where);
        std::vector<std::uint8_t> want = line->second;
        want[Wire::kAttemptByte] = std::uint8_t(f.attempt);
        check(r == want, "report bytes wrong", where);
        // Independent of the model: attempts 1, 2, 3 per line and update.
        const int attempt = ++sends[{f.target, f.line}];
        check(attempt <= Wire::kMaxAttempts && f.attempt == attempt, "attempt number", where);
        check(Key {f.target, f.line, f.attempt} == *expected, "unexpected report", where);
        sent(*expected);
    }

    void checkDisplay()
    {
        check(button->isEnabled() == (link == Link::Ready && !running), "button does not follow the rule");
        const QString text = status->text();
        switch (link) {
        case Link::Disconnected:
            check(text == kNotConnected, "status", text);
            break;
        case Link::Connected:
            check(text == kNotInUpdateMode, "status", text);
            break;
        case Link::Ready:
            check(text == kReady || (running && text == kUpdating), "status", text);
            break;
        }
        check(result->isHidden() == ending.isEmpty(), "result label visibility", ending);
        check(ending.isEmpty() || result->text() == ending, "result text", result->text() + " vs " + ending);
    }

    void sent(const Key &k)
    {
        last = k;
        pending = true; // started after a failed write too
        if (armed.erase(k)) {
            Tqr7Hid::planAnswer(k.target, k.line, k.attempt, Answer::Silence);
            linkLost();
        } else if (dead) {
            linkLost();
        }
    }

    void linkLost()
    {
        link = Link::Disconnected;
        dead = false;
        running = false;
        queue.clear(); // the unit's reports die with the last handle
    }

    void end(const QString &text)
    {
        running = false;
        ending = text;
    }

    // pollUsb reads at most one report; only 0x01 and 0x02 during an update
    // may make it send.
    void poll()
    {
        if (link == Link::Disconnected) {
            call("pollUsb");
            if (attached)
                link = Link::Connected;
        } else if (dead) {
            call("pollUsb");
            linkLost();
        } else if (queue.empty()) {
            call("pollUsb");
        } else {
            const std::uint8_t code = queue.front();
            queue.pop_front();
            std::optional<Key> send;
            if (code == kModeAnswer) {
                link = Link::Ready;
            } else if (running && code == kAck) {
                pending = false;
                if (!isEndRecord(last))
                    send = Key {last.target, last.line + 1, 1};
                else if (last.target < 4)
                    send = Key {last.target + 1, 1, 1};
                else
                    end(kComplete);
            } else if (running && code == kBoardTimeout) {
                if (last.attempt < Wire::kMaxAttempts) {
                    send = Key {last.target, last.line, last.attempt + 1};
                } else {
                    pending = false;
                    end(kCommsError);
                }
            }
            call("pollUsb", send);
        }
        checkDisplay();
    }

    // Its timer runs only until the unit's update-mode answer.
    void modeCheck()
    {
        if (link == Link::Ready)
            return;
        if (pending)
            timePasses(); // the query comes 1000 ms after a loss, the wait ends after 500
        if (link == Link::Ready)
            return;
        call("fwupdateModeCheck", std::nullopt, link == Link::Connected);
        if (link == Link::Connected) {
            if (dead)
                linkLost();
            else
                queue.push_back(kModeAnswer);
        }
        checkDisplay();
    }

    void press()
    {
        if (!button->isEnabled())
            return;
        running = true;
        ending.clear();
        sends.clear();
        call("on_buttonUpdate_clicked", Key {1, 1, 1});
        checkDisplay();
    }

    void deliver(const std::vector<std::uint8_t> &codes)
    {
        for (std::uint8_t code : codes) {
            Tqr7Hid::injectInputReport({code});
            queue.push_back(code);
        }
        for (std::size_t i = 0; i < codes.size(); ++i)
            poll();
    }

    void unplug()
    {
        Tqr7Hid::unplug();
        attached = false;
        queue.clear();
        dead = link != Link::Disconnected;
    }

    // The next report of one kind fails to be written: the retransmission of
    // the last one, the line after it, or the first line of a new update.
    void failNextWrite(int choice)
    {
        Key k {1, 1, 1};
        if (choice % 3 == 0 && last.attempt > 0 && last.attempt < Wire::kMaxAttempts)
            k = Key {last.target, last.line, last.attempt + 1};
        else if (choice % 3 == 1 && last.target > 0 && !isEndRecord(last))
            k = Key {last.target, last.line + 1, 1};
        else if (choice % 3 == 1 && last.target > 0 && last.target < 4)
            k = Key {last.target + 1, 1, 1};
        Tqr7Hid::planAnswer(k.target, k.line, k.attempt, Answer::WriteFails);
        armed.insert(k);
    }

    // 500 ms: the poll timer takes in what the unit sent or notices its loss,
    // then the response wait, if one runs, expires.
    void timePasses()
    {
        for (int tick = 0; tick < 8; ++tick) {
            const bool busy = link == Link::Disconnected ? attached : dead || !queue.empty();
            if (!busy)
                break;
            poll();
        }
        if (pending) {
            pending = false;
            end(kNoResponse);
            call("flashTimeout");
            checkDisplay();
        }
    }

    const std::uint8_t *data;
    std::size_t size;
    std::size_t pos = 0;

    Dialog dialog {Harness::folder()->path()};
    const DialogWidgets widgets {dialog};
    QLabel *const status = widgets.status;
    QLabel *const result = widgets.complete;
    QPushButton *const button = widgets.button;

    // The model: the link as the dialog sees it, the unit, the update.
    Link link = Link::Disconnected;
    bool attached = true;
    bool dead = false;              // unplugged since the dialog opened it
    std::deque<std::uint8_t> queue; // what the unit has sent, unread
    bool running = false;
    bool pending = false;                     // a 500 ms response wait runs
    QString ending;                           // the text labelComplete must show
    Key last {0, 0, 0};                       // the last data report written
    std::set<Key> armed;                      // reports planned to fail their write
    std::map<std::pair<int, int>, int> sends; // transmissions per line, this update
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    FirmwareFolder &firmware = Harness::start("fuzz_unit");
    firmware.writeSet(kLines[1], kLines[2], kLines[4]);

    // Each line's report, byte for byte, but for the attempt number (left 0).
    for (int t = 1; t <= Wire::kTargets; ++t) {
        const QStringList lines = firmware.image(t);
        for (int l = 1; l <= lines.size(); ++l)
            lineReports[{t, l}] = Wire::dataReport(t, l, int(lines.size()), lines.at(l - 1).toStdString(), 0);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    Tqr7Hid::reset();
    Tqr7Hid::planAnswer(0, 0, 0, Answer::Silence);
    Run(data, size).play();
    return 0;
}

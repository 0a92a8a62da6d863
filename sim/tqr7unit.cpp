// SPDX-License-Identifier: MIT
// The simulated TQR-7 unit: every report the program writes is checked
// against the unit's protocol, each fault kept as one sentence; answers are
// queued with their delay for the transport to deliver.

#include "sim/tqr7unit.h"
#include "sim/wire.h"

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

using Wire::Answer;

namespace {

using Wire::kMaxLine;
using Wire::kTextByte;

// The program's own end-record test, on the line a report carries.
bool isEndRecord(const std::uint8_t *r)
{
    return Wire::isEndRecord(Wire::line(r));
}

const char *const kOutFiles[]
    = {"target1.hex", "target2.hex", "target3.hex", "target4.hex", "reports.log", "violations.txt"};

std::string hexRecordFault(const std::string &line)
{
    if (line.empty() || line[0] != ':')
        return "not an Intel HEX record: it does not start with ':'";
    const std::size_t digits = line.size() - 1;
    if (digits % 2 != 0 || digits < 10)
        return Tqr7Unit::format(
            "not an Intel HEX record: %zu hex digits, need an even number of at least 10", digits);
    std::vector<int> bytes;
    for (std::size_t i = 1; i < line.size(); i += 2) {
        const std::string pair = line.substr(i, 2);
        if (!std::isxdigit(static_cast<unsigned char>(pair[0]))
            || !std::isxdigit(static_cast<unsigned char>(pair[1])))
            return Tqr7Unit::format(
                "not an Intel HEX record: '%s' at index %zu is not a hex byte", pair.c_str(), i);
        bytes.push_back(std::stoi(pair, nullptr, 16));
    }
    if (bytes[0] + 5 != int(bytes.size()))
        return Tqr7Unit::format(
            "Intel HEX byte count %d does not match its %zu data bytes", bytes[0], bytes.size() - 5);
    int sum = 0;
    for (std::size_t i = 0; i + 1 < bytes.size(); ++i)
        sum += bytes[i];
    const int checksum = (0x100 - (sum & 0xFF)) & 0xFF;
    if (checksum != bytes.back())
        return Tqr7Unit::format("Intel HEX checksum is 0x%02X, should be 0x%02X", bytes.back(), checksum);
    return {};
}

// The checks that need no history.
std::vector<std::string> formatFaults(const std::uint8_t *r)
{
    const Wire::DataFields f = Wire::fields(r);
    std::vector<std::string> faults;
    auto add = [&](const std::string &text) { faults.push_back(text); };
    if (f.target < 1 || f.target > Wire::kTargets)
        add(Tqr7Unit::format("target %d, must be 1 to %d", f.target, Wire::kTargets));
    if (r[Wire::kCodeByte] != Wire::kLineDataCode)
        add(Tqr7Unit::format("byte %d is 0x%02X, must be the line data code 0x%02X", Wire::kCodeByte,
            r[Wire::kCodeByte], Wire::kLineDataCode));
    if (f.attempt < 1 || f.attempt > Wire::kMaxAttempts)
        add(Tqr7Unit::format("attempt %d, a line is sent at most %d times (attempt 1 to %d)", f.attempt,
            Wire::kMaxAttempts, Wire::kMaxAttempts));
    if (f.line > f.count)
        add(Tqr7Unit::format("line number above the file line count %d", f.count));
    if (f.length < 1 || f.length > kMaxLine) {
        add(Tqr7Unit::format("line length %d, must be 1 to %d", f.length, kMaxLine));
        return faults;
    }
    const int end = kTextByte + f.length - 1; // where the CR belongs
    if (r[end] != Wire::kLineEnd)
        add(Tqr7Unit::format("line text does not end in CR at byte %d (0x%02X)", end, r[end]));
    for (int i = kTextByte; i < end; ++i)
        if (r[i] == Wire::kLineEnd || r[i] == '\n') {
            add(Tqr7Unit::format("line text holds a CR or LF at byte %d before its end", i));
            break;
        }
    for (int i = end + 1; i < int(Wire::kOutputSize); ++i)
        if (r[i] != 0) {
            add(Tqr7Unit::format("padding byte %d is 0x%02X, must be 0", i, r[i]));
            break;
        }
    const std::string fault = hexRecordFault(std::string(Wire::line(r)));
    if (!fault.empty())
        add(fault);
    if (isEndRecord(r) && f.line != f.count)
        add(Tqr7Unit::format("end record's line number must equal the file line count %d", f.count));
    return faults;
}

} // namespace

Tqr7Unit::Tqr7Unit() = default;

std::string Tqr7Unit::format(const char *fmt, ...)
{
    char buf[512];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, args);
    va_end(args);
    return buf;
}

double Tqr7Unit::nowMs() const
{
    return std::chrono::duration<double, std::milli>(Clock::now() - epoch).count();
}

void Tqr7Unit::event(const std::string &text) const
{
    if (verbose)
        std::fprintf(stderr, "tqr7sim %9.1f ms  %s\n", nowMs(), text.c_str());
}

void Tqr7Unit::violation(const std::string &text)
{
    violationTexts.push_back(text);
    writeFile("violations.txt", text + "\n", true);
    event("VIOLATION: " + text);
}

// ---- Settings --------------------------------------------------------------

void Tqr7Unit::applyEnvironment()
{
    auto env = [](const char *name) { return std::getenv(name); };
    if (const char *v = env("TQR7SIM_VERBOSE"))
        verbose = std::atoi(v) != 0;
    if (const char *v = env("TQR7SIM_ATTACHED"))
        isAttached = std::atoi(v) != 0;
    if (const char *v = env("TQR7SIM_UPDATE_MODE"))
        updateMode = std::atoi(v) != 0;
    if (const char *v = env("TQR7SIM_DELAY_MS"))
        setAnswerDelayMs(std::atoi(v));
    if (const char *v = env("TQR7SIM_UNPLUG_AFTER_MS"))
        unplugAfterMs = std::atoi(v);
    if (const char *v = env("TQR7SIM_FAULTS")) {
        if (!faultPlan.parse(v))
            std::fprintf(stderr, "tqr7sim: TQR7SIM_FAULTS \"%s\" is malformed and was ignored\n", v);
    }
    if (const char *v = env("TQR7SIM_OUT_DIR"))
        useOutDir(v);
}

// The records go to a folder of the user's; its other files are left alone.
void Tqr7Unit::useOutDir(const std::string &dir)
{
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (!std::filesystem::is_directory(dir, ec)) {
        std::fprintf(stderr, "tqr7sim: TQR7SIM_OUT_DIR \"%s\" %s; nothing is recorded there\n", dir.c_str(),
            std::filesystem::exists(dir, ec) ? "is not a folder" : "cannot be created");
        return;
    }
    outDir = dir;
    clearOutFiles(); // a folder used before holds an older run
    std::ofstream probe(outDir + "/violations.txt", std::ios::app);
    if (!probe) {
        std::fprintf(stderr, "tqr7sim: TQR7SIM_OUT_DIR \"%s\" is not writable; nothing is recorded there\n",
            dir.c_str());
        outDir.clear();
    }
}

void Tqr7Unit::reset()
{
    Tqr7Unit fresh;
    fresh.outDir = outDir;
    fresh.verbose = verbose;
    *this = std::move(fresh);
    clearOutFiles();
}

void Tqr7Unit::writeFile(const std::string &name, const std::string &text, bool append) const
{
    if (outDir.empty())
        return;
    std::ofstream out(
        outDir + "/" + name, append ? std::ios::binary | std::ios::app : std::ios::binary | std::ios::trunc);
    out << text;
}

void Tqr7Unit::clearOutFiles() const
{
    for (const char *name : kOutFiles)
        writeFile(name, std::string(), false);
}

void Tqr7Unit::setAnswerDelayMs(int ms)
{
    answerDelayMs = std::max(0, ms);
}

void Tqr7Unit::attach()
{
    isAttached = true;
    event("unit attached");
}

void Tqr7Unit::armUnplug()
{
    if (unplugAfterMs < 0)
        return;
    unplugArmed = true;
    unplugAt = Clock::now() + std::chrono::milliseconds(unplugAfterMs);
    unplugAfterMs = -1; // only after the first time the unit is found
}

bool Tqr7Unit::unplugDue() const
{
    return unplugArmed && Clock::now() >= unplugAt;
}

long long Tqr7Unit::msUntilUnplug() const
{
    if (!unplugArmed)
        return -1;
    return std::max<long long>(
        0, std::chrono::ceil<std::chrono::milliseconds>(unplugAt - Clock::now()).count());
}

void Tqr7Unit::unplug()
{
    isAttached = false;
    isStalled = false;
    unplugArmed = false;
    queue.clear();
    confirmed.clear();
    if (phase == Phase::AwaitingRead || phase == Phase::Silent)
        phase = Phase::GaveUp;
    event("unit unplugged");
}

// ---- Answers ---------------------------------------------------------------

void Tqr7Unit::queueReport(const std::vector<std::uint8_t> &bytes, int delay, long answersReport)
{
    Pending p;
    p.readyAt = Clock::now() + std::chrono::milliseconds(std::max(0, delay));
    std::copy_n(bytes.begin(), std::min(bytes.size(), Wire::kInputSize), p.bytes.begin());
    p.answersReport = answersReport;
    queue.push_back(p);
}

void Tqr7Unit::injectInputReport(const std::vector<std::uint8_t> &bytes, int delay)
{
    queueReport(bytes, delay, 0);
}

// The report that reaches the host next: the earliest, first queued on a tie.
int Tqr7Unit::nextPending() const
{
    int best = -1;
    for (int i = 0; i < int(queue.size()); ++i)
        if (best < 0 || queue[std::size_t(i)].readyAt < queue[std::size_t(best)].readyAt)
            best = i;
    return best;
}

std::optional<Tqr7Unit::Clock::time_point> Tqr7Unit::nextAnswerAt() const
{
    const int next = nextPending();
    if (next < 0)
        return std::nullopt;
    return queue[std::size_t(next)].readyAt;
}

const Tqr7Unit::InputReport &Tqr7Unit::nextAnswer() const
{
    return queue[std::size_t(nextPending())].bytes;
}

Tqr7Unit::InputReport Tqr7Unit::deliver(Reader reader)
{
    const int next = nextPending();
    const Pending p = queue[std::size_t(next)];
    queue.erase(queue.begin() + next);
    if (p.answersReport && p.answersReport == reportNumber && phase == Phase::AwaitingRead)
        phase = p.bytes[0] == Wire::kAcknowledge ? Phase::Acked : Phase::TimedOut;
    if (p.bytes[0] == Wire::kUpdateModeAnswer)
        confirmed.insert(reader);
    event(format("read delivers 0x%02X", p.bytes[0]));
    return p.bytes;
}

void Tqr7Unit::dropAnswers()
{
    queue.clear();
    if (phase == Phase::AwaitingRead || phase == Phase::Silent)
        phase = Phase::GaveUp;
}

// ---- Checking a report -----------------------------------------------------

// The checks against the report before: targets 1 to 4 in order, lines in
// order, one report in flight, retransmissions only after a BoardTimeout.
std::string Tqr7Unit::orderFault(const std::uint8_t *r) const
{
    const Wire::DataFields f = Wire::fields(r);
    const Wire::DataFields p = Wire::fields(last.data());
    const bool newUpdate = f.target == 1 && f.line == 1 && f.attempt == 1;
    const std::string before = format("target %d line %d", p.target, p.line);

    switch (phase) {
    case Phase::AwaitingRead:
        return "two reports in flight: written before the answer to " + before + " was read";
    case Phase::Silent:
        return newUpdate
            ? std::string()
            : "written after " + before + " went unanswered; only a new update (target 1 line 1) may follow";
    case Phase::GaveUp:
        return newUpdate ? std::string()
                         : "written after the unit was lost at " + before
                + "; only a new update (target 1 line 1) may follow";
    case Phase::Idle:
        return newUpdate ? std::string() : "an update must start with target 1 line 1 attempt 1";
    case Phase::TimedOut:
        if (newUpdate)
            return {};
        if (p.attempt >= Wire::kMaxAttempts)
            return before + " failed its third attempt; nothing but a new update may follow";
        if (f.target != p.target || f.line != p.line)
            return "expected the retransmission of " + before + " after the unit's BoardTimeout";
        if (f.attempt != p.attempt + 1)
            return format("retransmission must carry attempt %d, not %d", p.attempt + 1, f.attempt);
        for (std::size_t i = 0; i < Wire::kOutputSize; ++i)
            if (i != std::size_t(Wire::kAttemptByte) && r[i] != last[i])
                return format("retransmission differs from the transmission before in byte %zu", i);
        return {};
    case Phase::Acked:
        break;
    }
    if (newUpdate)
        return {};
    const bool afterEnd = isEndRecord(last.data());
    if (afterEnd && p.target == 4)
        return "nothing may follow target 4's end record but a new update at target 1 line 1";
    const int wantTarget = afterEnd ? p.target + 1 : p.target;
    const int wantLine = afterEnd ? 1 : p.line + 1;
    if (f.target != wantTarget)
        return afterEnd
            ? format("target order: target %d must follow target %d", wantTarget, p.target)
            : format("target order: target %d began before target %d's end record", f.target, p.target);
    if (f.line != wantLine)
        return format("line order: expected line %d after %s", wantLine, before.c_str());
    if (f.attempt != 1)
        return format("a new line starts with attempt 1, not %d", f.attempt);
    if (!afterEnd && f.count != p.count)
        return format("file line count changed from %d to %d within the target", p.count, f.count);
    return {};
}

void Tqr7Unit::startNewUpdate()
{
    for (std::string &text : receivedText)
        text.clear();
    for (int t = 1; t <= 4; ++t)
        writeFile(format("target%d.hex", t), std::string(), false);
}

void Tqr7Unit::keepLine(const std::uint8_t *r)
{
    const Wire::DataFields f = Wire::fields(r);
    if (f.length < 1 || f.length > kMaxLine)
        return;
    std::string text(reinterpret_cast<const char *>(r + kTextByte), std::size_t(f.length));
    receivedText[f.target - 1] += text;
    std::replace(text.begin(), text.end(), '\r', '\n');
    writeFile(format("target%d.hex", f.target), text, true);
}

Tqr7Unit::Effect Tqr7Unit::takeDataReport(const std::uint8_t *r, bool answerRead)
{
    const Wire::DataFields f = Wire::fields(r);
    const std::string where = format("target %d line %d: ", f.target, f.line);
    FaultPlan::Item planned = faultPlan.answerFor(f.target, f.line, f.attempt);
    if (planned.delayMs < 0)
        planned.delayMs = answerDelayMs;

    for (const std::string &fault : formatFaults(r))
        violation(where + fault);
    if (!updateMode) {
        violation(where + "data report while the unit is not in update mode");
        return planned.answer == Answer::WriteFails ? Effect::WriteFails : Effect::Taken;
    }
    if (!answerRead)
        violation(
            where + "data report before the unit's answer to an UpdateModeQuery was read on this handle");

    const bool validTarget = f.target >= 1 && f.target <= Wire::kTargets;
    if (validTarget) {
        const std::string fault = orderFault(r);
        if (!fault.empty())
            violation(where + fault);
        if (f.target == 1 && f.line == 1 && f.attempt == 1)
            startNewUpdate();
        std::copy_n(r, Wire::kOutputSize, last.begin());
        ++reportNumber;
    }
    event(format("data report target %d line %d attempt %d -> %s", f.target, f.line, f.attempt,
        FaultPlan::name(planned.answer)));

    const long number = validTarget ? reportNumber : 0;
    auto answerWith = [&](std::uint8_t code) {
        queueReport({code}, planned.delayMs, number);
        if (validTarget)
            phase = Phase::AwaitingRead;
    };
    switch (planned.answer) {
    case Answer::Acknowledge:
        if (validTarget)
            keepLine(r);
        answerWith(Wire::kAcknowledge);
        return Effect::Taken;
    case Answer::BoardTimeout:
        answerWith(Wire::kBoardTimeout);
        return Effect::Taken;
    case Answer::Silence:
        if (validTarget)
            phase = Phase::Silent;
        return Effect::Taken;
    case Answer::Stall:
        if (validTarget)
            phase = Phase::Silent;
        isStalled = true;
        return Effect::Taken;
    case Answer::Unplug:
        unplug();
        phase = Phase::GaveUp;
        return Effect::Unplug;
    case Answer::WriteFails:
        phase = Phase::GaveUp;
        return Effect::WriteFails;
    }
    return Effect::Taken;
}

Tqr7Unit::Outcome Tqr7Unit::write(
    const std::uint8_t *report, std::size_t length, Reader writer, const std::function<Carried()> &carry)
{
    writes.push_back(
        {nowMs(), report ? std::vector<std::uint8_t>(report, report + length) : std::vector<std::uint8_t>()});
    const Wire::Written w = writes.back(); // a carry() that waits lets others write meanwhile
    Outcome outcome {int(length), Effect::Taken};
    const Carried carried = carry ? carry() : Carried::Arrives;
    switch (report ? carried : Carried::Lost) { // a null buffer is the transport's to report
    case Carried::Arrives:
        outcome.effect = takeReport(report, length, confirmed.count(writer) > 0);
        if (outcome.effect == Effect::WriteFails)
            outcome.result = -1;
        break;
    case Carried::Queued:
        break;
    case Carried::Lost:
        outcome.result = -1;
        break;
    }
    logWrite(w, outcome.result);
    return outcome;
}

Tqr7Unit::Effect Tqr7Unit::takeReport(const std::uint8_t *r, std::size_t length, bool answerRead)
{
    if (length != Wire::kOutputSize) {
        violation(format("write of %zu bytes: every output report is %zu bytes", length, Wire::kOutputSize));
        return Effect::Taken;
    }
    if (r[0] != 0) {
        violation(format("report id 0x%02X: the unit's reports are unnumbered, byte 0 must be 0", r[0]));
        return Effect::Taken;
    }
    if (!Wire::isQuery(r, length))
        return takeDataReport(r, answerRead);

    if (faultPlan.takeQueryFailure()) {
        event("UpdateModeQuery write fails");
        return Effect::WriteFails;
    }
    for (std::size_t i = Wire::kQueryByte + 1; i < Wire::kOutputSize; ++i)
        if (r[i] != 0) {
            violation(format("UpdateModeQuery: byte %zu is 0x%02X, every byte but byte %d must be 0", i, r[i],
                Wire::kQueryByte));
            break;
        }
    if (updateMode)
        queueReport({Wire::kUpdateModeAnswer}, answerDelayMs, 0);
    event(updateMode ? format("UpdateModeQuery -> 0x%02X", Wire::kUpdateModeAnswer)
                     : "UpdateModeQuery ignored (not in update mode)");
    return Effect::Taken;
}

void Tqr7Unit::logWrite(const Wire::Written &w, int result) const
{
    std::string line = format("%.3f", w.timeMs);
    for (std::uint8_t b : w.bytes)
        line += format(" %02X", b);
    if (result < 0)
        line += "  (failed)";
    writeFile("reports.log", line + "\n", true);
}

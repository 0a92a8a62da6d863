// The simulated TQR-7 unit behind the hidapi calls. One unit, one input
// queue; answers become readable a set delay after the write that caused them,
// checked whenever the program reads (no threads of its own). Every report the
// program writes is checked against the unit's protocol, and each fault is
// kept as one sentence.

#include "sim/tqr7sim.h"

#include <hidapi.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <memory>
#include <map>
#include <mutex>
#include <regex>
#include <sstream>
#include <thread>

using Tqr7Sim::Answer;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

namespace {

constexpr unsigned short kVendorId = 0x04D8;
constexpr unsigned short kProductId = 0xF29E;
constexpr std::size_t kOutSize = 65;
constexpr std::size_t kInSize = 64;
constexpr int kTextByte = 9;
constexpr int kMaxLine = 56;
constexpr std::uint8_t kQueryCode = 0x80;
constexpr std::uint8_t kAck = 0x01;
constexpr std::uint8_t kBoardTimeout = 0x02;

// hid_device_info wants non-const strings; these are never written through.
char kPath[] = "tqr7sim:0";
wchar_t kManufacturer[] = L"TQR-7 simulator";
wchar_t kProduct[] = L"TQR-7 unit";
wchar_t kSerial[] = L"SIM0001";

} // namespace

struct hid_device_ {
    hid_device_info info{};
    int generation = 0;
    bool closed = false;
    bool dead = false;           // unplugged, or opened before a reset()
    bool nonBlocking = false;
    bool confirmed = false;      // the unit's update-mode answer was read here
    bool blockingReadSeen = false;
    bool endlessWaitSeen = false;
    std::wstring error = L"Success";
};

namespace {

struct Plan {
    int target, line, attempt; // 0 = any
    Answer answer;
    int delayMs;               // < 0: the global answer delay
};

struct Pending {
    Clock::time_point readyAt;
    std::array<std::uint8_t, kInSize> bytes{};
    long answersReport = 0; // number of the data report it answers, 0 if none
};

// Where the last data report left the exchange.
enum class Phase {
    Idle,         // no data report since reset()
    AwaitingRead, // answered, but the answer is not yet read
    Silent,       // the unit will never answer it
    Acked,        // Acknowledge read
    TimedOut,     // BoardTimeout read
    GaveUp,       // the write failed or the unit vanished: the program gives up
};

struct DataFields {
    int target, line, count, length, attempt;
};

DataFields fieldsOf(const std::uint8_t *r)
{
    return {r[1], r[2] << 8 | r[3], r[4] << 8 | r[5], r[6], r[7]};
}

// The program's own end-record test: "1" at index 8 of the line text.
bool isEndRecord(const std::uint8_t *r)
{
    return r[6] > 9 && r[kTextByte + 8] == '1';
}

struct Unit {
    // What the unit does
    bool attached = true;
    bool updateMode = true;
    int delayMs = 0;
    std::vector<Plan> plans;
    int failQueries = 0;
    int unplugAfterMs = -1;
    bool unplugArmed = false;
    Clock::time_point unplugAt;

    // Records
    Clock::time_point epoch = Clock::now();
    std::vector<Tqr7Sim::Written> written;
    std::vector<double> opens;
    std::vector<double> reads;
    std::vector<std::string> violations;
    std::vector<Pending> queue;
    hid_device *lastOpened = nullptr;

    // The update in progress
    Phase phase = Phase::Idle;
    long reportNumber = 0;
    std::array<std::uint8_t, kOutSize> last{};
    std::string received[4];

    // Kept across reset(): where the records go
    std::string outDir;
    bool verbose = false;
};

std::mutex mutex;
// Handles stay allocated for the life of the process, so that a call on a
// closed handle is caught instead of reading freed memory.
std::vector<std::unique_ptr<hid_device>> handles;
int generation = 0; // counts reset()s
std::wstring globalError = L"Success";

Unit &unit();

double msSince(Clock::time_point epoch)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - epoch).count();
}

std::string format(const char *fmt, ...)
{
    char buf[512];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, args);
    va_end(args);
    return buf;
}

void event(const std::string &text)
{
    Unit &u = unit();
    if (u.verbose)
        std::fprintf(stderr, "tqr7sim %9.1f ms  %s\n", msSince(u.epoch), text.c_str());
}

void writeFile(const char *name, const std::string &text, bool append)
{
    Unit &u = unit();
    if (u.outDir.empty())
        return;
    std::ofstream out(u.outDir + "/" + name,
                      append ? std::ios::binary | std::ios::app : std::ios::binary | std::ios::trunc);
    out << text;
}

void clearOutFiles(const std::string &dir)
{
    if (dir.empty())
        return;
    for (const char *name : {"target1.hex", "target2.hex", "target3.hex", "target4.hex",
                             "reports.log", "violations.txt"})
        std::ofstream(dir + "/" + name, std::ios::trunc);
}

void violation(const std::string &text)
{
    unit().violations.push_back(text);
    writeFile("violations.txt", text + "\n", true);
    event("VIOLATION: " + text);
}

bool parsePlan(const std::string &text, std::vector<Plan> &plans, int &queryFails);

void applyEnvironment(Unit &u)
{
    auto env = [](const char *name) { return std::getenv(name); };
    if (const char *v = env("TQR7SIM_VERBOSE"))
        u.verbose = std::atoi(v) != 0;
    if (const char *v = env("TQR7SIM_ATTACHED"))
        u.attached = std::atoi(v) != 0;
    if (const char *v = env("TQR7SIM_UPDATE_MODE"))
        u.updateMode = std::atoi(v) != 0;
    if (const char *v = env("TQR7SIM_DELAY_MS"))
        u.delayMs = std::max(0, std::atoi(v));
    if (const char *v = env("TQR7SIM_UNPLUG_AFTER_MS"))
        u.unplugAfterMs = std::atoi(v);
    if (const char *v = env("TQR7SIM_FAULTS")) {
        if (!parsePlan(v, u.plans, u.failQueries))
            std::fprintf(stderr, "tqr7sim: TQR7SIM_FAULTS \"%s\" is malformed and was ignored\n", v);
    }
    if (const char *v = env("TQR7SIM_OUT_DIR")) {
        std::error_code ec;
        std::filesystem::create_directories(v, ec);
        u.outDir = v;
        clearOutFiles(u.outDir); // a folder used before holds an older run
    }
}

// Created, and the environment read, on the first call of any kind; the lock
// is held by every caller.
Unit &unit()
{
    static Unit *u = [] {
        auto *fresh = new Unit;
        applyEnvironment(*fresh);
        return fresh;
    }();
    return *u;
}

void markHandlesDead()
{
    for (auto &h : handles)
        if (!h->closed)
            h->dead = true;
}

void doUnplug()
{
    Unit &u = unit();
    u.attached = false;
    u.unplugArmed = false;
    markHandlesDead();
    u.queue.clear();
    if (u.phase == Phase::AwaitingRead || u.phase == Phase::Silent)
        u.phase = Phase::GaveUp;
    event("unit unplugged");
}

// Timed events happen at the first call after their time.
void tick()
{
    Unit &u = unit();
    if (u.unplugArmed && Clock::now() >= u.unplugAt)
        doUnplug();
}

void queueReport(const Bytes &bytes, int delayMs, long answersReport = 0)
{
    Pending p;
    p.readyAt = Clock::now() + std::chrono::milliseconds(std::max(0, delayMs));
    std::copy_n(bytes.begin(), std::min(bytes.size(), kInSize), p.bytes.begin());
    p.answersReport = answersReport;
    unit().queue.push_back(p);
}

// The report that reaches the host next: the earliest, first queued on a tie.
int nextPending()
{
    const auto &q = unit().queue;
    int best = -1;
    for (int i = 0; i < int(q.size()); ++i)
        if (best < 0 || q[i].readyAt < q[best].readyAt)
            best = i;
    return best;
}

// A handle the call may use: null and closed handles are the program's fault.
bool usable(hid_device *dev, const char *call)
{
    if (!dev) {
        violation(format("%s called with a null handle", call));
        return false;
    }
    if (dev->closed) {
        violation(format("%s called on a handle already closed", call));
        return false;
    }
    return true;
}

// ---- Checking a data report ------------------------------------------------

std::string hexRecordFault(const std::string &line)
{
    if (line.empty() || line[0] != ':')
        return "not an Intel HEX record: it does not start with ':'";
    const std::size_t digits = line.size() - 1;
    if (digits % 2 != 0 || digits < 10)
        return format("not an Intel HEX record: %zu hex digits, need an even number of at least 10", digits);
    std::vector<int> bytes;
    for (std::size_t i = 1; i < line.size(); i += 2) {
        const std::string pair = line.substr(i, 2);
        if (!std::isxdigit(static_cast<unsigned char>(pair[0]))
            || !std::isxdigit(static_cast<unsigned char>(pair[1])))
            return format("not an Intel HEX record: '%s' at index %zu is not a hex byte", pair.c_str(), i);
        bytes.push_back(std::stoi(pair, nullptr, 16));
    }
    if (bytes[0] + 5 != int(bytes.size()))
        return format("Intel HEX byte count %d does not match its %zu data bytes", bytes[0], bytes.size() - 5);
    int sum = 0;
    for (std::size_t i = 0; i + 1 < bytes.size(); ++i)
        sum += bytes[i];
    const int checksum = (0x100 - (sum & 0xFF)) & 0xFF;
    if (checksum != bytes.back())
        return format("Intel HEX checksum is 0x%02X, should be 0x%02X", bytes.back(), checksum);
    return {};
}

// The checks that need no history.
std::vector<std::string> formatFaults(const std::uint8_t *r)
{
    const DataFields f = fieldsOf(r);
    std::vector<std::string> faults;
    if (f.target < 1 || f.target > 4)
        faults.push_back(format("target %d, must be 1 to 4", f.target));
    if (r[8] != 0x03)
        faults.push_back(format("byte 8 is 0x%02X, must be the line data code 0x03", r[8]));
    if (f.attempt < 1 || f.attempt > 3)
        faults.push_back(format("attempt %d, a line is sent at most 3 times (attempt 1 to 3)", f.attempt));
    if (f.line > f.count)
        faults.push_back(format("line number above the file line count %d", f.count));
    if (f.length < 1 || f.length > kMaxLine) {
        faults.push_back(format("line length %d, must be 1 to %d", f.length, kMaxLine));
        return faults;
    }
    const int end = kTextByte + f.length - 1; // where the CR belongs
    if (r[end] != 0x0D)
        faults.push_back(format("line text does not end in CR at byte %d (0x%02X)", end, r[end]));
    for (int i = kTextByte; i < end; ++i)
        if (r[i] == 0x0D || r[i] == 0x0A) {
            faults.push_back(format("line text holds a CR or LF at byte %d before its end", i));
            break;
        }
    for (int i = end + 1; i < int(kOutSize); ++i)
        if (r[i] != 0) {
            faults.push_back(format("padding byte %d is 0x%02X, must be 0", i, r[i]));
            break;
        }
    const std::string fault =
        hexRecordFault(std::string(reinterpret_cast<const char *>(r + kTextByte), f.length - 1));
    if (!fault.empty())
        faults.push_back(fault);
    if (isEndRecord(r) && f.line != f.count)
        faults.push_back(format("end record's line number must equal the file line count %d", f.count));
    return faults;
}

// The checks against the report before: targets 1 to 4 in order, lines in
// order, one report in flight, retransmissions only after a BoardTimeout.
std::string orderFault(const std::uint8_t *r)
{
    const Unit &u = unit();
    const DataFields f = fieldsOf(r);
    const DataFields p = fieldsOf(u.last.data());
    const bool newUpdate = f.target == 1 && f.line == 1 && f.attempt == 1;
    const std::string before = format("target %d line %d", p.target, p.line);

    switch (u.phase) {
    case Phase::AwaitingRead:
        return "two reports in flight: written before the answer to " + before + " was read";
    case Phase::Silent:
        return newUpdate ? std::string()
                         : "written after " + before + " went unanswered; only a new update (target 1 line 1) may follow";
    case Phase::GaveUp:
        return newUpdate ? std::string()
                         : "written after the unit was lost at " + before + "; only a new update (target 1 line 1) may follow";
    case Phase::Idle:
        return newUpdate ? std::string() : "an update must start with target 1 line 1 attempt 1";
    case Phase::TimedOut:
        if (newUpdate)
            return {};
        if (p.attempt >= 3)
            return before + " failed its third attempt; nothing but a new update may follow";
        if (f.target != p.target || f.line != p.line)
            return "expected the retransmission of " + before + " after the unit's BoardTimeout";
        if (f.attempt != p.attempt + 1)
            return format("retransmission must carry attempt %d, not %d", p.attempt + 1, f.attempt);
        for (std::size_t i = 0; i < kOutSize; ++i)
            if (i != 7 && r[i] != u.last[i])
                return format("retransmission differs from the transmission before in byte %zu", i);
        return {};
    case Phase::Acked:
        break;
    }
    if (newUpdate)
        return {};
    const bool afterEnd = isEndRecord(u.last.data());
    if (afterEnd && p.target == 4)
        return "nothing may follow target 4's end record but a new update at target 1 line 1";
    const int wantTarget = afterEnd ? p.target + 1 : p.target;
    const int wantLine = afterEnd ? 1 : p.line + 1;
    if (f.target != wantTarget)
        return afterEnd ? format("target order: target %d must follow target %d", wantTarget, p.target)
                        : format("target order: target %d began before target %d's end record", f.target, p.target);
    if (f.line != wantLine)
        return format("line order: expected line %d after %s", wantLine, before.c_str());
    if (f.attempt != 1)
        return format("a new line starts with attempt 1, not %d", f.attempt);
    if (!afterEnd && f.count != p.count)
        return format("file line count changed from %d to %d within the target", p.count, f.count);
    return {};
}

// The answer planned for this report: the last matching plan wins.
Plan planFor(const DataFields &f)
{
    const Unit &u = unit();
    Plan chosen{0, 0, 0, Answer::Acknowledge, -1};
    for (const Plan &p : u.plans)
        if ((!p.target || p.target == f.target) && (!p.line || p.line == f.line)
            && (!p.attempt || p.attempt == f.attempt))
            chosen = p;
    if (chosen.delayMs < 0)
        chosen.delayMs = u.delayMs;
    return chosen;
}

const char *answerName(Answer a)
{
    switch (a) {
    case Answer::Acknowledge: return "ack";
    case Answer::BoardTimeout: return "timeout";
    case Answer::Silence: return "silence";
    case Answer::Unplug: return "unplug";
    case Answer::WriteFails: return "writefail";
    }
    return "?";
}

void startNewUpdate()
{
    Unit &u = unit();
    for (std::string &text : u.received)
        text.clear();
    for (const char *name : {"target1.hex", "target2.hex", "target3.hex", "target4.hex"})
        writeFile(name, std::string(), false);
}

void keepLine(const std::uint8_t *r)
{
    const DataFields f = fieldsOf(r);
    if (f.length < 1 || f.length > kMaxLine)
        return;
    std::string text(reinterpret_cast<const char *>(r + kTextByte), f.length);
    unit().received[f.target - 1] += text;
    std::replace(text.begin(), text.end(), '\r', '\n');
    writeFile(format("target%d.hex", f.target).c_str(), text, true);
}

int takeDataReport(hid_device *dev, const std::uint8_t *r)
{
    Unit &u = unit();
    const DataFields f = fieldsOf(r);
    const std::string where = format("target %d line %d: ", f.target, f.line);
    const Plan plan = planFor(f);

    for (const std::string &fault : formatFaults(r))
        violation(where + fault);
    if (!u.updateMode) {
        violation(where + "data report while the unit is not in update mode");
        return plan.answer == Answer::WriteFails ? -1 : int(kOutSize);
    }
    if (!dev->confirmed)
        violation(where + "data report before the unit's answer to an UpdateModeQuery was read on this handle");

    const bool validTarget = f.target >= 1 && f.target <= 4;
    if (validTarget) {
        const std::string fault = orderFault(r);
        if (!fault.empty())
            violation(where + fault);
        if (f.target == 1 && f.line == 1 && f.attempt == 1)
            startNewUpdate();
        std::copy_n(r, kOutSize, u.last.begin());
        ++u.reportNumber;
    }
    event(format("data report target %d line %d attempt %d -> %s", f.target, f.line, f.attempt,
                 answerName(plan.answer)));

    const long number = validTarget ? u.reportNumber : 0;
    auto answerWith = [&](std::uint8_t code) {
        queueReport({code}, plan.delayMs, number);
        if (validTarget)
            u.phase = Phase::AwaitingRead;
    };
    switch (plan.answer) {
    case Answer::Acknowledge:
        if (validTarget)
            keepLine(r);
        answerWith(kAck);
        return int(kOutSize);
    case Answer::BoardTimeout:
        answerWith(kBoardTimeout);
        return int(kOutSize);
    case Answer::Silence:
        if (validTarget)
            u.phase = Phase::Silent;
        return int(kOutSize);
    case Answer::Unplug:
        doUnplug();
        u.phase = Phase::GaveUp;
        return int(kOutSize);
    case Answer::WriteFails:
        u.phase = Phase::GaveUp;
        dev->error = L"Simulated write failure";
        return -1;
    }
    return int(kOutSize);
}

int takeReport(hid_device *dev, const std::uint8_t *r, std::size_t length)
{
    Unit &u = unit();
    if (length != kOutSize) {
        violation(format("write of %zu bytes: every output report is 65 bytes", length));
        return int(length);
    }
    if (r[0] != 0) {
        violation(format("report id 0x%02X: the unit's reports are unnumbered, byte 0 must be 0", r[0]));
        return int(length);
    }
    if (r[1] != kQueryCode)
        return takeDataReport(dev, r);

    if (u.failQueries > 0) {
        --u.failQueries;
        dev->error = L"Simulated write failure";
        event("UpdateModeQuery write fails");
        return -1;
    }
    for (std::size_t i = 2; i < kOutSize; ++i)
        if (r[i] != 0) {
            violation(format("UpdateModeQuery: byte %zu is 0x%02X, every byte but byte 1 must be 0", i, r[i]));
            break;
        }
    if (u.updateMode)
        queueReport({kQueryCode}, u.delayMs);
    event(u.updateMode ? "UpdateModeQuery -> 0x80" : "UpdateModeQuery ignored (not in update mode)");
    return int(kOutSize);
}

void logWrite(const Tqr7Sim::Written &w, int result)
{
    std::string line = format("%.3f", w.timeMs);
    for (std::uint8_t b : w.bytes)
        line += format(" %02X", b);
    if (result < 0)
        line += "  (failed)";
    writeFile("reports.log", line + "\n", true);
}

// ---- Reading ---------------------------------------------------------------

int deliver(hid_device *dev, int index, unsigned char *data, std::size_t length)
{
    Unit &u = unit();
    const Pending p = u.queue[index];
    u.queue.erase(u.queue.begin() + index);
    const std::size_t n = std::min(length, kInSize);
    std::copy_n(p.bytes.begin(), n, data);
    if (p.bytes[0] == kQueryCode)
        dev->confirmed = true;
    if (p.answersReport && p.answersReport == u.reportNumber && u.phase == Phase::AwaitingRead)
        u.phase = p.bytes[0] == kAck ? Phase::Acked : Phase::TimedOut;
    event(format("read delivers 0x%02X", p.bytes[0]));
    return int(n);
}

// timeoutMs: 0 returns at once, > 0 waits up to that long, < 0 waits for a
// report already queued (never for one that will not come).
int readReport(hid_device *dev, unsigned char *data, std::size_t length, int timeoutMs, bool viaHidRead)
{
    std::unique_lock<std::mutex> lock(mutex);
    Unit &u = unit();
    tick();
    u.reads.push_back(msSince(u.epoch));
    if (!usable(dev, viaHidRead ? "hid_read" : "hid_read_timeout"))
        return -1;
    if (!data) {
        violation("read into a null buffer");
        return -1;
    }
    if (viaHidRead && !dev->nonBlocking) {
        if (!dev->blockingReadSeen)
            violation("hid_read on a handle not set non-blocking: it would wait for a report");
        dev->blockingReadSeen = true;
        timeoutMs = -1;
    }
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(std::max(0, timeoutMs));
    for (;;) {
        if (dev->dead) {
            dev->error = L"Device is gone";
            return -1;
        }
        const int next = nextPending();
        const Clock::time_point now = Clock::now();
        if (next >= 0 && u.queue[next].readyAt <= now)
            return deliver(dev, next, data, length);
        Clock::time_point wakeAt = deadline;
        if (timeoutMs < 0) {
            if (next < 0) {
                if (!dev->endlessWaitSeen && !dev->blockingReadSeen)
                    violation("read waiting without time-out while the unit has nothing to send: it would hang");
                dev->endlessWaitSeen = true;
                return 0;
            }
            wakeAt = u.queue[next].readyAt;
        } else {
            if (now >= deadline)
                return 0;
            if (next >= 0)
                wakeAt = std::min(wakeAt, u.queue[next].readyAt);
        }
        lock.unlock();
        std::this_thread::sleep_until(wakeAt);
        lock.lock();
        tick();
    }
}

// ---- The plan text ---------------------------------------------------------

// item[,item...]; item: T:L:A=answer[@ms] or query=writefail[*N]
bool parsePlan(const std::string &text, std::vector<Plan> &plans, int &queryFails)
{
    static const std::regex blank(R"(\s*)");
    static const std::regex lineItem(
        R"(\s*(\*|\d{1,5})\s*:\s*(\*|\d{1,5})\s*:\s*(\*|\d)\s*=\s*(ack|timeout|silence|unplug|writefail)\s*(?:@\s*(\d{1,6})\s*)?)");
    static const std::regex queryItem(R"(\s*query\s*=\s*writefail\s*(?:\*\s*(\d{1,6})\s*)?)");
    static const std::map<std::string, Answer> answers = {
        {"ack", Answer::Acknowledge}, {"timeout", Answer::BoardTimeout}, {"silence", Answer::Silence},
        {"unplug", Answer::Unplug},   {"writefail", Answer::WriteFails},
    };
    if (std::regex_match(text, blank))
        return true;
    // A field of "*" is 0, "any"; a number must lie in min..max.
    auto field = [](const std::ssub_match &m, int min, int max, int &value) {
        value = m.str() == "*" ? 0 : std::stoi(m.str());
        return m.str() == "*" || (value >= min && value <= max);
    };
    std::vector<Plan> parsed;
    int fails = 0;
    std::stringstream items(text);
    std::string item;
    while (std::getline(items, item, ',')) {
        std::smatch m;
        if (std::regex_match(item, m, queryItem)) {
            const int count = m[1].matched ? std::stoi(m[1].str()) : 1;
            if (count < 1)
                return false;
            fails += count;
            continue;
        }
        Plan plan{0, 0, 0, Answer::Acknowledge, -1};
        if (!std::regex_match(item, m, lineItem) || !field(m[1], 1, 4, plan.target)
            || !field(m[2], 1, 0xFFFF, plan.line) || !field(m[3], 1, 3, plan.attempt))
            return false;
        plan.answer = answers.at(m[4].str());
        if (m[5].matched)
            plan.delayMs = std::stoi(m[5].str());
        parsed.push_back(plan);
    }
    if (text.back() == ',') // getline drops an empty last item
        return false;
    plans.insert(plans.end(), parsed.begin(), parsed.end());
    queryFails += fails;
    return true;
}

hid_device_info deviceInfo()
{
    hid_device_info info{};
    info.path = kPath;
    info.vendor_id = kVendorId;
    info.product_id = kProductId;
    info.serial_number = kSerial;
    info.release_number = 0x0100;
    info.manufacturer_string = kManufacturer;
    info.product_string = kProduct;
    info.usage_page = 0xFF00;
    info.usage = 0x01;
    info.interface_number = 0;
    info.bus_type = HID_API_BUS_USB;
    return info;
}

bool idsMatch(unsigned short vid, unsigned short pid)
{
    return (vid == 0 || vid == kVendorId) && (pid == 0 || pid == kProductId);
}

hid_device *openUnit(bool matches, const std::string &what)
{
    Unit &u = unit();
    tick();
    u.opens.push_back(msSince(u.epoch));
    if (!u.attached || !matches) {
        globalError = u.attached ? L"No such device" : L"No TQR-7 unit attached";
        event(what + " -> null");
        return nullptr;
    }
    handles.push_back(std::make_unique<hid_device>());
    hid_device *dev = handles.back().get();
    dev->info = deviceInfo();
    dev->generation = generation;
    u.lastOpened = dev;
    if (u.unplugAfterMs >= 0) {
        u.unplugArmed = true;
        u.unplugAt = Clock::now() + std::chrono::milliseconds(u.unplugAfterMs);
        u.unplugAfterMs = -1; // only after the first open
    }
    event(what + " -> handle");
    return dev;
}

int copyString(hid_device *dev, const wchar_t *text, wchar_t *string, std::size_t maxlen, const char *call)
{
    std::lock_guard<std::mutex> lock(mutex);
    tick();
    if (!usable(dev, call) || dev->dead || !string || maxlen == 0)
        return -1;
    std::wcsncpy(string, text, maxlen);
    string[maxlen - 1] = L'\0';
    return 0;
}

} // namespace

// ---- Control ---------------------------------------------------------------

namespace Tqr7Sim {

void reset()
{
    std::lock_guard<std::mutex> lock(mutex);
    Unit &u = unit();
    markHandlesDead();
    ++generation;
    globalError = L"Success";
    Unit fresh;
    fresh.outDir = u.outDir;
    fresh.verbose = u.verbose;
    u = std::move(fresh);
    clearOutFiles(u.outDir);
}

void attach()
{
    std::lock_guard<std::mutex> lock(mutex);
    unit().attached = true;
    event("unit attached");
}

void unplug()
{
    std::lock_guard<std::mutex> lock(mutex);
    doUnplug();
}

bool attached()
{
    std::lock_guard<std::mutex> lock(mutex);
    tick();
    return unit().attached;
}

void setUpdateMode(bool on)
{
    std::lock_guard<std::mutex> lock(mutex);
    unit().updateMode = on;
}

void setAnswerDelayMs(int ms)
{
    std::lock_guard<std::mutex> lock(mutex);
    unit().delayMs = std::max(0, ms);
}

void planAnswer(int target, int line, int attempt, Answer answer, int delayMs)
{
    std::lock_guard<std::mutex> lock(mutex);
    unit().plans.push_back({target, line, attempt, answer, delayMs});
}

void failQueryWrites(int n)
{
    std::lock_guard<std::mutex> lock(mutex);
    unit().failQueries = std::max(0, n);
}

void injectInputReport(const std::vector<std::uint8_t> &report, int delayMs)
{
    std::lock_guard<std::mutex> lock(mutex);
    queueReport(report, delayMs);
}

bool planFromText(const std::string &text)
{
    std::lock_guard<std::mutex> lock(mutex);
    Unit &u = unit();
    return parsePlan(text, u.plans, u.failQueries);
}

double nowMs()
{
    std::lock_guard<std::mutex> lock(mutex);
    return msSince(unit().epoch);
}

std::vector<Written> writtenReports()
{
    std::lock_guard<std::mutex> lock(mutex);
    return unit().written;
}

std::vector<Written> writtenDataReports()
{
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<Written> data;
    for (const Written &w : unit().written)
        if (w.bytes.size() < 2 || w.bytes[1] != kQueryCode)
            data.push_back(w);
    return data;
}

std::vector<double> openAttemptTimes()
{
    std::lock_guard<std::mutex> lock(mutex);
    return unit().opens;
}

std::vector<double> readTimes()
{
    std::lock_guard<std::mutex> lock(mutex);
    return unit().reads;
}

int openHandles()
{
    std::lock_guard<std::mutex> lock(mutex);
    unit();
    // Handles from before the last reset() belong to nobody any more.
    return int(std::count_if(handles.begin(), handles.end(),
                             [](const auto &h) { return !h->closed && h->generation == generation; }));
}

bool nonBlocking()
{
    std::lock_guard<std::mutex> lock(mutex);
    const hid_device *dev = unit().lastOpened;
    return dev && dev->nonBlocking;
}

std::string received(int target)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (target < 1 || target > 4)
        return {};
    return unit().received[target - 1];
}

std::vector<std::string> violations()
{
    std::lock_guard<std::mutex> lock(mutex);
    return unit().violations;
}

} // namespace Tqr7Sim

// ---- hidapi ----------------------------------------------------------------

extern "C" {

int HID_API_EXPORT HID_API_CALL hid_init(void)
{
    std::lock_guard<std::mutex> lock(mutex);
    unit();
    return 0;
}

int HID_API_EXPORT HID_API_CALL hid_exit(void)
{
    return 0;
}

struct hid_device_info HID_API_EXPORT *HID_API_CALL hid_enumerate(unsigned short vendor_id, unsigned short product_id)
{
    std::lock_guard<std::mutex> lock(mutex);
    tick();
    if (!unit().attached || !idsMatch(vendor_id, product_id))
        return nullptr;
    return new hid_device_info(deviceInfo());
}

void HID_API_EXPORT HID_API_CALL hid_free_enumeration(struct hid_device_info *devs)
{
    while (devs) {
        hid_device_info *next = devs->next;
        delete devs;
        devs = next;
    }
}

HID_API_EXPORT hid_device *HID_API_CALL hid_open(unsigned short vendor_id, unsigned short product_id,
                                                 const wchar_t *serial_number)
{
    std::lock_guard<std::mutex> lock(mutex);
    unit();
    const bool matches = idsMatch(vendor_id, product_id) && (!serial_number || std::wcscmp(serial_number, kSerial) == 0);
    return openUnit(matches, format("hid_open(%04x, %04x)", vendor_id, product_id));
}

HID_API_EXPORT hid_device *HID_API_CALL hid_open_path(const char *path)
{
    std::lock_guard<std::mutex> lock(mutex);
    unit();
    return openUnit(path && std::string(path) == kPath, format("hid_open_path(%s)", path ? path : "null"));
}

int HID_API_EXPORT HID_API_CALL hid_write(hid_device *dev, const unsigned char *data, size_t length)
{
    std::lock_guard<std::mutex> lock(mutex);
    Unit &u = unit();
    tick();
    if (!usable(dev, "hid_write"))
        return -1;
    Tqr7Sim::Written w{msSince(u.epoch), data ? Bytes(data, data + length) : Bytes()};
    u.written.push_back(w);
    int result = -1;
    if (!data)
        violation("hid_write with a null buffer");
    else if (dev->dead)
        dev->error = L"Device is gone";
    else
        result = takeReport(dev, data, length);
    logWrite(w, result);
    return result;
}

int HID_API_EXPORT HID_API_CALL hid_read_timeout(hid_device *dev, unsigned char *data, size_t length, int milliseconds)
{
    return readReport(dev, data, length, milliseconds, false);
}

int HID_API_EXPORT HID_API_CALL hid_read(hid_device *dev, unsigned char *data, size_t length)
{
    return readReport(dev, data, length, 0, true);
}

int HID_API_EXPORT HID_API_CALL hid_set_nonblocking(hid_device *dev, int nonblock)
{
    std::lock_guard<std::mutex> lock(mutex);
    unit();
    if (!usable(dev, "hid_set_nonblocking"))
        return -1;
    dev->nonBlocking = nonblock != 0;
    return 0;
}

// The unit has no feature reports and answers nothing on request.
int HID_API_EXPORT HID_API_CALL hid_send_feature_report(hid_device *dev, const unsigned char *, size_t)
{
    std::lock_guard<std::mutex> lock(mutex);
    unit();
    if (usable(dev, "hid_send_feature_report"))
        dev->error = L"The unit has no feature reports";
    return -1;
}

int HID_API_EXPORT HID_API_CALL hid_get_feature_report(hid_device *dev, unsigned char *, size_t)
{
    return hid_send_feature_report(dev, nullptr, 0);
}

int HID_API_EXPORT HID_API_CALL hid_get_input_report(hid_device *dev, unsigned char *, size_t)
{
    std::lock_guard<std::mutex> lock(mutex);
    unit();
    if (usable(dev, "hid_get_input_report"))
        dev->error = L"The unit does not answer input report requests";
    return -1;
}

void HID_API_EXPORT HID_API_CALL hid_close(hid_device *dev)
{
    std::lock_guard<std::mutex> lock(mutex);
    Unit &u = unit();
    if (!dev)
        return;
    if (dev->closed) {
        violation("hid_close called twice on one handle");
        return;
    }
    dev->closed = true;
    const bool anyOpen = std::any_of(handles.begin(), handles.end(), [](const auto &h) { return !h->closed && !h->dead; });
    if (!anyOpen) {
        // Nobody listens any more: what the unit had sent is lost.
        u.queue.clear();
        if (u.phase == Phase::AwaitingRead || u.phase == Phase::Silent)
            u.phase = Phase::GaveUp;
    }
    event("hid_close");
}

int HID_API_EXPORT_CALL hid_get_manufacturer_string(hid_device *dev, wchar_t *string, size_t maxlen)
{
    return copyString(dev, kManufacturer, string, maxlen, "hid_get_manufacturer_string");
}

int HID_API_EXPORT_CALL hid_get_product_string(hid_device *dev, wchar_t *string, size_t maxlen)
{
    return copyString(dev, kProduct, string, maxlen, "hid_get_product_string");
}

int HID_API_EXPORT_CALL hid_get_serial_number_string(hid_device *dev, wchar_t *string, size_t maxlen)
{
    return copyString(dev, kSerial, string, maxlen, "hid_get_serial_number_string");
}

struct hid_device_info HID_API_EXPORT *HID_API_CALL hid_get_device_info(hid_device *dev)
{
    std::lock_guard<std::mutex> lock(mutex);
    unit();
    if (!usable(dev, "hid_get_device_info") || dev->dead)
        return nullptr;
    return &dev->info;
}

int HID_API_EXPORT_CALL hid_get_indexed_string(hid_device *dev, int, wchar_t *, size_t)
{
    std::lock_guard<std::mutex> lock(mutex);
    unit();
    if (usable(dev, "hid_get_indexed_string"))
        dev->error = L"The unit has no indexed strings";
    return -1;
}

HID_API_EXPORT const wchar_t *HID_API_CALL hid_error(hid_device *dev)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (!dev || dev->closed)
        return globalError.c_str();
    return dev->error.c_str();
}

HID_API_EXPORT const struct hid_api_version *HID_API_CALL hid_version(void)
{
    static const hid_api_version version{HID_API_VERSION_MAJOR, HID_API_VERSION_MINOR, HID_API_VERSION_PATCH};
    return &version;
}

HID_API_EXPORT const char *HID_API_CALL hid_version_str(void)
{
    return HID_API_VERSION_STR;
}

} // extern "C"

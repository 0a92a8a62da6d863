// SPDX-License-Identifier: MIT
// The hidapi drop-in: the simulated unit (tqr7unit.h) behind the hidapi
// calls, in the program's own process. Answers become readable their delay
// after the write that caused them, checked whenever the program reads (no
// threads of its own).

#include "sim/tqr7hid.h"
#include "sim/tqr7unit.h"
#include "sim/wire.h"

#include <hidapi.h>

#include <algorithm>
#include <cwchar>
#include <memory>
#include <mutex>
#include <thread>

using Clock = Tqr7Unit::Clock;

namespace {

// hid_device_info wants non-const strings; these are never written through.
char kPath[] = "tqr7sim:0";
wchar_t kManufacturer[] = L"TQR-7 simulator";
wchar_t kProduct[] = L"TQR-7 unit";
wchar_t kSerial[] = L"SIM0001";

} // namespace

struct hid_device_
{
    hid_device_info info {};
    int generation = 0;
    bool closed = false;
    bool dead = false; // unplugged, or opened before a reset()
    bool nonBlocking = false;
    bool blockingReadSeen = false;
    bool endlessWaitSeen = false;
    std::wstring error = L"Success";
};

namespace {

std::mutex mutex;
// Handles stay allocated for the life of the process, so that a call on a
// closed handle is caught instead of reading freed memory.
std::vector<std::unique_ptr<hid_device>> handles;
int generation = 0; // counts reset()s
std::wstring globalError = L"Success";
hid_device *lastOpened = nullptr;
int deniedOpens = 0; // < 0: every one
int enumerateCalls = 0;

// Created, and the environment read, on the first call of any kind; the lock
// is held by every caller.
Tqr7Unit &unit()
{
    static Tqr7Unit *u = [] {
        auto *fresh = new Tqr7Unit;
        fresh->applyEnvironment();
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
    markHandlesDead();
    unit().unplug();
}

// Timed events happen at the first call after their time.
void tick()
{
    if (unit().unplugDue())
        doUnplug();
}

// A handle the call may use: null and closed handles are the program's fault.
bool usable(hid_device *dev, const char *call)
{
    if (!dev) {
        unit().violation(Tqr7Unit::format("%s called with a null handle", call));
        return false;
    }
    if (dev->closed) {
        unit().violation(Tqr7Unit::format("%s called on a handle already closed", call));
        return false;
    }
    return true;
}

// After a stall the unit reads no more reports until it is unplugged. As
// behind a Linux host, its endpoint's queue (a USB HID gadget's holds four)
// takes the next few unread; then each write waits 5 s in the host's driver
// and fails.
constexpr int kStalledQueue = 4;
constexpr int kStalledWriteMs = 5000;
int stalledQueued = 0; // reports in that queue since the unit stalled

// How far a report gets: a dead handle's nowhere, a stalled unit's into its
// endpoint's queue while there is room.
Tqr7Unit::Carried carry(hid_device *dev, const unsigned char *data, std::unique_lock<std::mutex> &lock)
{
    if (!data) {
        unit().violation("hid_write with a null buffer");
        return Tqr7Unit::Carried::Lost;
    }
    if (dev->dead) {
        dev->error = L"Device is gone";
        return Tqr7Unit::Carried::Lost;
    }
    if (!unit().stalled()) {
        stalledQueued = 0;
        return Tqr7Unit::Carried::Arrives;
    }
    if (stalledQueued < kStalledQueue) {
        ++stalledQueued;
        return Tqr7Unit::Carried::Queued;
    }
    lock.unlock();
    std::this_thread::sleep_for(std::chrono::milliseconds(kStalledWriteMs));
    lock.lock();
    dev->error = L"Connection timed out";
    return Tqr7Unit::Carried::Lost;
}

// ---- Reading ---------------------------------------------------------------

int deliver(hid_device *dev, unsigned char *data, std::size_t length)
{
    const Tqr7Unit::InputReport answer = unit().deliver(dev);
    const std::size_t n = std::min(length, answer.size());
    std::copy_n(answer.begin(), n, data);
    return int(n);
}

// timeoutMs: 0 returns at once, > 0 waits up to that long, < 0 waits for a
// report already queued (never for one that will not come).
int readReport(hid_device *dev, unsigned char *data, std::size_t length, int timeoutMs, bool viaHidRead)
{
    std::unique_lock<std::mutex> lock(mutex);
    Tqr7Unit &u = unit();
    tick();
    u.recordRead();
    if (!usable(dev, viaHidRead ? "hid_read" : "hid_read_timeout"))
        return -1;
    if (!data) {
        u.violation("read into a null buffer");
        return -1;
    }
    if (viaHidRead && !dev->nonBlocking) {
        if (!dev->blockingReadSeen)
            u.violation("hid_read on a handle not set non-blocking: it would wait for a report");
        dev->blockingReadSeen = true;
        timeoutMs = -1;
    }
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(std::max(0, timeoutMs));
    for (;;) {
        if (dev->dead) {
            dev->error = L"Device is gone";
            return -1;
        }
        const auto next = u.nextAnswerAt();
        const Clock::time_point now = Clock::now();
        if (next && *next <= now)
            return deliver(dev, data, length);
        Clock::time_point wakeAt = deadline;
        if (timeoutMs < 0) {
            if (!next) {
                if (!dev->endlessWaitSeen && !dev->blockingReadSeen)
                    u.violation(
                        "read waiting without time-out while the unit has nothing to send: it would hang");
                dev->endlessWaitSeen = true;
                return 0;
            }
            wakeAt = *next;
        } else {
            if (now >= deadline)
                return 0;
            if (next)
                wakeAt = std::min(wakeAt, *next);
        }
        lock.unlock();
        std::this_thread::sleep_until(wakeAt);
        lock.lock();
        tick();
    }
}

hid_device_info deviceInfo()
{
    hid_device_info info {};
    info.path = kPath;
    info.vendor_id = Wire::kVendorId;
    info.product_id = Wire::kProductId;
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
    return (vid == 0 || vid == Wire::kVendorId) && (pid == 0 || pid == Wire::kProductId);
}

hid_device *openUnit(bool matches, const std::string &what)
{
    Tqr7Unit &u = unit();
    tick();
    u.recordOpen();
    if (!u.attached() || !matches) {
        globalError = u.attached() ? L"No such device" : L"No TQR-7 unit attached";
        u.event(what + " -> null");
        return nullptr;
    }
    if (deniedOpens != 0) {
        if (deniedOpens > 0)
            --deniedOpens;
        globalError = L"Failed to open a device with path 'tqr7sim:0': Permission denied";
        u.event(what + " -> null (denied)");
        return nullptr;
    }
    handles.push_back(std::make_unique<hid_device>());
    hid_device *dev = handles.back().get();
    dev->info = deviceInfo();
    dev->generation = generation;
    lastOpened = dev;
    u.armUnplug();
    u.event(what + " -> handle");
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

namespace Tqr7Hid {

void reset()
{
    std::lock_guard<std::mutex> lock(mutex);
    markHandlesDead();
    ++generation;
    globalError = L"Success";
    lastOpened = nullptr;
    deniedOpens = 0;
    enumerateCalls = 0;
    unit().reset();
}

void attach()
{
    std::lock_guard<std::mutex> lock(mutex);
    unit().attach();
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
    return unit().attached();
}

void setUpdateMode(bool on)
{
    std::lock_guard<std::mutex> lock(mutex);
    unit().setUpdateMode(on);
}

void setAnswerDelayMs(int ms)
{
    std::lock_guard<std::mutex> lock(mutex);
    unit().setAnswerDelayMs(ms);
}

void planAnswer(int target, int line, int attempt, Answer answer, int delayMs)
{
    std::lock_guard<std::mutex> lock(mutex);
    unit().plan().add({target, line, attempt, answer, delayMs});
}

void failQueryWrites(int n)
{
    std::lock_guard<std::mutex> lock(mutex);
    unit().plan().failQueryWrites(n);
}

void denyOpens(int n)
{
    std::lock_guard<std::mutex> lock(mutex);
    deniedOpens = n;
}

void injectInputReport(const std::vector<std::uint8_t> &report, int delayMs)
{
    std::lock_guard<std::mutex> lock(mutex);
    unit().injectInputReport(report, delayMs);
}

bool planFromText(const std::string &text)
{
    std::lock_guard<std::mutex> lock(mutex);
    return unit().plan().parse(text);
}

double nowMs()
{
    std::lock_guard<std::mutex> lock(mutex);
    return unit().nowMs();
}

std::vector<Written> writtenReports()
{
    std::lock_guard<std::mutex> lock(mutex);
    return unit().written();
}

std::vector<Written> writtenDataReports()
{
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<Written> data;
    for (const Written &w : unit().written())
        if (!Wire::isQuery(w.bytes.data(), w.bytes.size()))
            data.push_back(w);
    return data;
}

std::vector<double> openAttemptTimes()
{
    std::lock_guard<std::mutex> lock(mutex);
    return unit().opens();
}

int enumerations()
{
    std::lock_guard<std::mutex> lock(mutex);
    return enumerateCalls;
}

std::vector<double> readTimes()
{
    std::lock_guard<std::mutex> lock(mutex);
    return unit().reads();
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
    unit();
    const hid_device *dev = lastOpened;
    return dev && dev->nonBlocking;
}

std::string received(int target)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (target < 1 || target > 4)
        return {};
    return unit().received(target);
}

std::vector<std::string> violations()
{
    std::lock_guard<std::mutex> lock(mutex);
    return unit().violations();
}

} // namespace Tqr7Hid

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

struct hid_device_info HID_API_EXPORT *HID_API_CALL hid_enumerate(
    unsigned short vendor_id, unsigned short product_id)
{
    std::lock_guard<std::mutex> lock(mutex);
    tick();
    ++enumerateCalls;
    // As hidapi's, it replaces the error text of a failed hid_open.
    if (!unit().attached() || !idsMatch(vendor_id, product_id)) {
        globalError = L"No TQR-7 unit attached";
        return nullptr;
    }
    globalError = L"Success";
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

HID_API_EXPORT hid_device *HID_API_CALL hid_open(
    unsigned short vendor_id, unsigned short product_id, const wchar_t *serial_number)
{
    std::lock_guard<std::mutex> lock(mutex);
    unit();
    const bool matches
        = idsMatch(vendor_id, product_id) && (!serial_number || std::wcscmp(serial_number, kSerial) == 0);
    return openUnit(matches, Tqr7Unit::format("hid_open(%04x, %04x)", vendor_id, product_id));
}

HID_API_EXPORT hid_device *HID_API_CALL hid_open_path(const char *path)
{
    std::lock_guard<std::mutex> lock(mutex);
    unit();
    return openUnit(
        path && std::string(path) == kPath, Tqr7Unit::format("hid_open_path(%s)", path ? path : "null"));
}

int HID_API_EXPORT HID_API_CALL hid_write(hid_device *dev, const unsigned char *data, size_t length)
{
    std::unique_lock<std::mutex> lock(mutex);
    Tqr7Unit &u = unit();
    tick();
    if (!usable(dev, "hid_write"))
        return -1;
    const Tqr7Unit::Outcome outcome = u.write(data, length, dev, [&] { return carry(dev, data, lock); });
    if (outcome.effect == Tqr7Unit::Effect::WriteFails)
        dev->error = L"Simulated write failure";
    else if (outcome.effect == Tqr7Unit::Effect::Unplug)
        markHandlesDead();
    return outcome.result;
}

int HID_API_EXPORT HID_API_CALL hid_read_timeout(
    hid_device *dev, unsigned char *data, size_t length, int milliseconds)
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
    Tqr7Unit &u = unit();
    if (!dev)
        return;
    if (dev->closed) {
        u.violation("hid_close called twice on one handle");
        return;
    }
    dev->closed = true;
    const bool anyOpen
        = std::any_of(handles.begin(), handles.end(), [](const auto &h) { return !h->closed && !h->dead; });
    if (!anyOpen) {
        // Nobody listens any more: what the unit had sent is lost.
        u.dropAnswers();
    }
    u.event("hid_close");
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
    static const hid_api_version version {
        HID_API_VERSION_MAJOR, HID_API_VERSION_MINOR, HID_API_VERSION_PATCH};
    return &version;
}

HID_API_EXPORT const char *HID_API_CALL hid_version_str(void)
{
    return HID_API_VERSION_STR;
}

} // extern "C"

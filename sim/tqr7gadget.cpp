// SPDX-License-Identifier: MIT
// The simulated TQR-7 unit behind a real USB bus: it serves the unit side of
// a Linux USB HID gadget (/dev/hidg0) with the same model, variables and
// records as the hidapi drop-in, so the program reaches it through the
// system hidapi, hidraw and the kernel's usbhid, as it reaches a real unit.
//
//   tqr7gadget HIDG UDC_FILE UDC_NAME
//
// HIDG is the gadget's HID node, UDC_FILE the gadget's configfs UDC file and
// UDC_NAME the controller to bind to: writing it plugs the unit in, writing
// nothing pulls it out. SIGUSR1 pulls the unit out, SIGUSR2 plugs it in
// again; SIGTERM ends the program. scripts/usbvm sets the gadget up.

#include "sim/tqr7unit.h"
#include "sim/wire.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

using Clock = Tqr7Unit::Clock;

namespace {

volatile std::sig_atomic_t stopRequested = 0;
volatile std::sig_atomic_t unplugRequested = 0;
volatile std::sig_atomic_t plugRequested = 0;

void onSignal(int sig)
{
    if (sig == SIGUSR1)
        unplugRequested = 1;
    else if (sig == SIGUSR2)
        plugRequested = 1;
    else
        stopRequested = 1;
}

class Gadget
{
public:
    Gadget(std::string hidg, std::string udcFile, std::string udcName)
        : hidg(std::move(hidg)), udcFile(std::move(udcFile)), udcName(std::move(udcName))
    { }
    ~Gadget() { closeNode(); }
    int run();

private:
    bool setUdc(const std::string &name);
    bool plugIn();
    void pullOut();
    void closeNode();
    void readReport();
    void sendDueAnswer();
    int pollTimeoutMs(bool &answerDue) const;

    Tqr7Unit unit;
    int fd = -1;
    std::string hidg, udcFile, udcName;
    bool found = false; // the host has written to the unit since it was plugged in
};

bool Gadget::setUdc(const std::string &name)
{
    std::ofstream udc(udcFile);
    udc << name << '\n';
    udc.flush();
    if (!udc) {
        std::fprintf(stderr, "tqr7gadget: cannot write \"%s\" to %s\n", name.c_str(), udcFile.c_str());
        return false;
    }
    return true;
}

// The gadget's node exists only while it is bound to the controller.
bool Gadget::plugIn()
{
    if (!setUdc(udcName))
        return false;
    for (int i = 0; i < 200 && fd < 0; ++i) {
        fd = ::open(hidg.c_str(), O_RDWR | O_NONBLOCK);
        if (fd < 0)
            ::usleep(10000);
    }
    if (fd < 0) {
        std::fprintf(stderr, "tqr7gadget: cannot open %s: %s\n", hidg.c_str(), std::strerror(errno));
        setUdc("");
        return false;
    }
    found = false;
    unit.attach();
    return true;
}

void Gadget::closeNode()
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

void Gadget::pullOut()
{
    closeNode();
    setUdc("");
    if (unit.attached()) // a planned unplug has told the model already
        unit.unplug();
}

void Gadget::readReport()
{
    std::uint8_t in[Wire::kOutputSize] = {};
    // The host's report id 0 does not cross the bus: put it back in front.
    const ssize_t n = ::read(fd, in + 1, Wire::kOutputSize - 1);
    if (n <= 0)
        return;
    if (!found) {
        found = true;
        unit.armUnplug();
    }
    const std::size_t length = std::size_t(n) + 1;
    if (unit.write(in, length, this).effect == Tqr7Unit::Effect::Unplug)
        pullOut();
}

void Gadget::sendDueAnswer()
{
    const auto next = unit.nextAnswerAt();
    if (!next || *next > Clock::now())
        return;
    const Tqr7Unit::InputReport &answer = unit.nextAnswer();
    // EAGAIN: the host has not yet taken the answer before; poll says when.
    if (::write(fd, answer.data(), answer.size()) != ssize_t(answer.size()))
        return;
    unit.deliver(this); // sent is as good as read: the unit cannot see the host read it
}

// How long to wait for the host: until the next answer is due (then until
// the host can take it), or until the planned unplug.
int Gadget::pollTimeoutMs(bool &answerDue) const
{
    long long ms = unit.msUntilUnplug();
    answerDue = false;
    if (const auto next = unit.nextAnswerAt()) {
        const auto wait = *next - Clock::now();
        const long long dueIn = std::chrono::ceil<std::chrono::milliseconds>(wait).count();
        answerDue = dueIn <= 0;
        if (!answerDue)
            ms = ms < 0 ? dueIn : std::min(ms, dueIn);
    }
    return int(ms);
}

int Gadget::run()
{
    unit.applyEnvironment();
    // A write failure belongs to the host's own library: over a real bus the
    // unit cannot make one, so such plans are left out, and said so.
    if (unit.plan().dropWriteFails())
        std::fprintf(
            stderr, "tqr7gadget: writefail cannot be played over USB; those plan items are ignored\n");
    if (unit.attached() && !plugIn())
        return 1;

    sigset_t blocked, open;
    sigemptyset(&blocked);
    for (int sig : {SIGTERM, SIGINT, SIGUSR1, SIGUSR2}) {
        sigaddset(&blocked, sig);
        struct sigaction sa = {};
        sa.sa_handler = onSignal;
        sigaction(sig, &sa, nullptr);
    }
    sigprocmask(SIG_BLOCK, &blocked, &open);

    while (!stopRequested) {
        if (unplugRequested) {
            unplugRequested = 0;
            if (unit.attached())
                pullOut();
        }
        if (plugRequested) {
            plugRequested = 0;
            if (!unit.attached() && !plugIn())
                return 1;
        }
        if (unit.unplugDue())
            pullOut();

        bool answerDue = false;
        const int timeoutMs = pollTimeoutMs(answerDue);
        // While the unit is pulled out only a signal or the planned time wakes it.
        // A stalled unit leaves the host's reports in the gadget's queue.
        const short in = unit.stalled() ? 0 : POLLIN;
        pollfd pfd = {fd, short(answerDue ? in | POLLOUT : in), 0};
        const timespec ts = {timeoutMs / 1000, (timeoutMs % 1000) * 1000000L};
        const int n = ::ppoll(&pfd, fd < 0 ? 0 : 1, timeoutMs < 0 ? nullptr : &ts, &open);
        if (n < 0 && errno != EINTR) {
            std::fprintf(stderr, "tqr7gadget: poll: %s\n", std::strerror(errno));
            return 1;
        }
        if (n > 0 && (pfd.revents & POLLIN))
            readReport();
        if (n > 0 && (pfd.revents & POLLOUT))
            sendDueAnswer();
    }
    if (unit.attached())
        pullOut();
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: tqr7gadget HIDG UDC_FILE UDC_NAME\n");
        return 2;
    }
    Gadget gadget(argv[1], argv[2], argv[3]);
    return gadget.run();
}

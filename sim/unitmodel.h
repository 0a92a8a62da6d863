#ifndef UNITMODEL_H
#define UNITMODEL_H

// The simulated TQR-7 unit itself, whatever carries its reports: it checks
// every report the program writes, decides each answer (and the planned
// faults), keeps what each target received, and writes its records. Two
// transports carry it: the hidapi drop-in (tqr7sim.cpp), in the program's own
// process, and the gadget program (tqr7gadget.cpp), behind a real USB bus.
// The model is not thread-safe; each transport serialises its calls.

#include "sim/tqr7sim.h"
#include "sim/wire.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

class UnitModel
{
public:
    using Clock = std::chrono::steady_clock;

    // One answer on its way to the host.
    struct Pending
    {
        Clock::time_point readyAt;
        std::array<std::uint8_t, Wire::kInputSize> bytes {};
        long answersReport = 0; // number of the data report it answers, 0 if none
    };

    // What a written report makes the transport do besides answering.
    enum class Effect {
        Taken,      // the write succeeds
        WriteFails, // the write returns -1; the unit stays
        Unplug,     // the write succeeds, then the unit is gone
    };

    // Fresh state with the defaults; applyEnvironment() reads TQR7SIM_*.
    UnitModel();
    void applyEnvironment();
    // Back to the defaults, keeping the output folder and verbosity.
    void reset();

    // Steering.
    bool attached = true;
    bool updateMode = true;
    int delayMs = 0;
    int failQueries = 0;
    void planAnswer(int target, int line, int attempt, Tqr7Sim::Answer answer, int delayMs);
    bool planFromText(const std::string &text); // false, and no change, if malformed
    bool plansAny(Tqr7Sim::Answer answer) const;
    void dropPlans(Tqr7Sim::Answer answer);
    // After a Stall answer the unit reads no more reports until unplugged.
    // As behind a Linux host: its endpoint's queue (a USB HID gadget's
    // holds four) takes the next few unread, then each write waits 5 s in
    // the host's driver and fails.
    static constexpr int kStalledQueue = 4;
    static constexpr int kStalledWriteMs = 5000;
    bool stalled = false;
    int stalledRoom = 0;
    // Where the planned answers end an update of files with these line
    // counts (GPIO, MIDI, MIDI, MAIN): lines each target takes in whole,
    // and the report and answer that end it early, if one does.
    struct Course
    {
        int received[4] = {};
        int target = 0, line = 0, attempt = 0; // 0: the update completes
        Tqr7Sim::Answer answer = Tqr7Sim::Answer::Acknowledge;
    };
    Course course(const int lineCounts[4]) const;
    static const char *answerName(Tqr7Sim::Answer answer);
    // The unit vanishes this long after it is first found (armUnplug()).
    int unplugAfterMs = -1;
    void armUnplug();
    bool unplugDue() const;
    long long msUntilUnplug() const; // -1 when none is planned

    // Every write the host makes is recorded first, with its result logged
    // once known; a report that reaches the unit then goes to takeReport(),
    // which checks it and plans its answer. confirmed: the host has read the
    // unit's update-mode answer since it found the unit (data before that is
    // a fault of the program).
    void recordWrite(const std::uint8_t *report, std::size_t length);
    Effect takeReport(const std::uint8_t *report, std::size_t length, bool confirmed);
    void logWrite(int result) const;

    // The answers, earliest first; the transport delivers one when it is due.
    void queueReport(const std::vector<std::uint8_t> &bytes, int delayMs, long answersReport = 0);
    int nextPending() const; // index, or -1
    const Pending &pending(int index) const { return queue[std::size_t(index)]; }
    Pending deliver(int index); // taken off the queue as the host gets it
    void dropAnswers();         // nobody listens any more: what was not read is lost

    // The unit is pulled out: answers lost, the update in flight abandoned.
    void unplug();
    // A violation the transport itself finds (a call on a closed handle, ...).
    void violation(const std::string &text);
    void event(const std::string &text) const;

    // Records.
    Clock::time_point epoch = Clock::now();
    double nowMs() const;
    std::vector<Tqr7Sim::Written> written;
    std::vector<double> opens;
    std::vector<double> reads;
    std::vector<std::string> violations;
    std::string received[4];
    std::string outDir;
    bool verbose = false;

    static std::string format(const char *fmt, ...);

private:
    struct Plan
    {
        int target, line, attempt; // 0 = any
        Tqr7Sim::Answer answer;
        int delayMs; // < 0: the global answer delay
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

    Effect takeDataReport(const std::uint8_t *r, bool confirmed);
    std::string orderFault(const std::uint8_t *r) const;
    Plan planFor(int target, int line, int attempt) const;
    void startNewUpdate();
    void keepLine(const std::uint8_t *r);
    void writeFile(const std::string &name, const std::string &text, bool append) const;
    void clearOutFiles() const;
    void useOutDir(const std::string &dir);

    std::vector<Plan> plans;
    bool unplugArmed = false;
    Clock::time_point unplugAt;
    std::vector<Pending> queue;
    Phase phase = Phase::Idle;
    long reportNumber = 0;
    std::array<std::uint8_t, Wire::kOutputSize> last {};
};

#endif // UNITMODEL_H

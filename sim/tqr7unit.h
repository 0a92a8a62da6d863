// SPDX-License-Identifier: MIT
#ifndef TQR7UNIT_H
#define TQR7UNIT_H

// The simulated TQR-7 unit itself, whatever carries its reports: it checks
// every report the program writes, decides each answer (and the planned
// faults), keeps what each target received, and writes its records. Two
// transports carry it: the hidapi drop-in (tqr7hid.cpp), in the program's own
// process, and the gadget program (tqr7gadget.cpp), behind a real USB bus.
// The model is not thread-safe; each transport serialises its calls.

#include "sim/faultplan.h"
#include "sim/wire.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

class Tqr7Unit
{
public:
    using Clock = std::chrono::steady_clock;
    using InputReport = std::array<std::uint8_t, Wire::kInputSize>;
    // Who reads the unit's answers: a handle of the drop-in's, the gadget's host.
    using Reader = const void *;

    // What a written report makes the transport do besides answering.
    enum class Effect {
        Taken,      // the write succeeds
        WriteFails, // the write returns -1; the unit stays
        Unplug,     // the write succeeds, then the unit is gone
    };
    // How far a report the host writes gets on the transport's way.
    enum class Carried {
        Arrives, // to the unit, which reads it
        Queued,  // into a queue in front of the unit: the write succeeds, the unit never reads it
        Lost,    // nowhere: the write fails
    };
    struct Outcome
    {
        int result; // what the host's write returns: the length, or -1
        Effect effect;
    };

    // Fresh state with the defaults; applyEnvironment() reads TQR7SIM_*.
    Tqr7Unit();
    void applyEnvironment();
    // Back to the defaults, keeping the output folder and verbosity.
    void reset();

    // Plugged in, and pulled out: that loses the answers on their way and
    // abandons the update in flight.
    bool attached() const { return isAttached; }
    void attach();
    void unplug();
    // A planned unplug, the time TQR7SIM_UNPLUG_AFTER_MS after armUnplug(),
    // which the transport calls when the host first finds the unit.
    void armUnplug();
    bool unplugDue() const;
    long long msUntilUnplug() const; // -1 when none is planned

    // Steering.
    void setUpdateMode(bool on) { updateMode = on; }
    void setAnswerDelayMs(int ms);
    FaultPlan &plan() { return faultPlan; }
    // After a Stall answer the unit reads no more reports until unplugged.
    bool stalled() const { return isStalled; }

    // Every write the host makes: recorded, carried as far as carry() says
    // (no carry(): to the unit), checked and answered if it reaches the
    // unit, and logged with its result. A data report is a fault of the
    // program unless the writer has read the unit's update-mode answer since
    // the unit was plugged in.
    Outcome write(const std::uint8_t *report, std::size_t length, Reader writer,
        const std::function<Carried()> &carry = {});

    // The unit's answers, and reports queued as if it had sent them; the
    // earliest is read first. When it can be read (none: nothing is on its
    // way), what it is, and the host reading it, which takes it off the queue.
    void injectInputReport(const std::vector<std::uint8_t> &bytes, int delayMs);
    std::optional<Clock::time_point> nextAnswerAt() const;
    const InputReport &nextAnswer() const;
    InputReport deliver(Reader reader);
    void dropAnswers(); // nobody listens any more: what was not read is lost

    // A violation the transport itself finds (a call on a closed handle, ...),
    // and a line of the verbose log.
    void violation(const std::string &text);
    void event(const std::string &text) const;
    static std::string format(const char *fmt, ...);

    // Records since reset(). Opens and reads are the host's calls, which
    // only the drop-in sees. received(): the acknowledged lines of the last
    // update of target 1 to 4, each ending in CR, retransmissions once.
    double nowMs() const;
    void recordOpen() { openTimes.push_back(nowMs()); }
    void recordRead() { readTimes.push_back(nowMs()); }
    const std::vector<double> &opens() const { return openTimes; }
    const std::vector<double> &reads() const { return readTimes; }
    const std::vector<Wire::Written> &written() const { return writes; }
    const std::vector<std::string> &violations() const { return violationTexts; }
    const std::string &received(int target) const { return receivedText[target - 1]; }

private:
    // Where the last data report left the exchange.
    enum class Phase {
        Idle,         // no data report since reset()
        AwaitingRead, // answered, but the answer is not yet read
        Silent,       // the unit will never answer it
        Acked,        // Acknowledge read
        TimedOut,     // BoardTimeout read
        GaveUp,       // the write failed or the unit vanished: the program gives up
    };

    // One answer on its way to the host.
    struct Pending
    {
        Clock::time_point readyAt;
        InputReport bytes {};
        long answersReport = 0; // number of the data report it answers, 0 if none
    };

    void queueReport(const std::vector<std::uint8_t> &bytes, int delayMs, long answersReport);
    int nextPending() const; // index, or -1
    Effect takeReport(const std::uint8_t *r, std::size_t length, bool answerRead);
    Effect takeDataReport(const std::uint8_t *r, bool answerRead);
    std::string orderFault(const std::uint8_t *r) const;
    void startNewUpdate();
    void keepLine(const std::uint8_t *r);
    void logWrite(const Wire::Written &w, int result) const;
    void writeFile(const std::string &name, const std::string &text, bool append) const;
    void clearOutFiles() const;
    void useOutDir(const std::string &dir);

    FaultPlan faultPlan;
    std::vector<Pending> queue;
    std::set<Reader> confirmed; // have read the update-mode answer since the unit was plugged in
    std::vector<Wire::Written> writes;
    std::vector<double> openTimes;
    std::vector<double> readTimes;
    std::vector<std::string> violationTexts;
    std::string receivedText[Wire::kTargets];
    std::string outDir;
    std::array<std::uint8_t, Wire::kOutputSize> last {}; // the last data report
    Clock::time_point epoch = Clock::now();
    Clock::time_point unplugAt;
    long reportNumber = 0;
    int answerDelayMs = 0;
    int unplugAfterMs = -1;
    Phase phase = Phase::Idle;
    bool isAttached = true;
    bool updateMode = true;
    bool isStalled = false;
    bool unplugArmed = false;
    bool verbose = false;
};

#endif // TQR7UNIT_H

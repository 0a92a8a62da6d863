// SPDX-License-Identifier: MIT
#ifndef FAULTPLAN_H
#define FAULTPLAN_H

// What the simulated unit is planned to do instead of acknowledging: the
// answer to given data reports and the UpdateModeQuery writes that fail,
// as the tests plan them or from the text of TQR7SIM_FAULTS (sim/README.md
// has the grammar). It also tells where such a plan ends an update, as the
// program runs one, for tqr7plan.

#include "sim/wire.h"

#include <string>
#include <vector>

class FaultPlan
{
public:
    using Answer = Wire::Answer;

    // The answer to the data reports of a target, line and attempt; 0 is any.
    struct Item
    {
        int target = 0, line = 0, attempt = 0;
        Answer answer = Answer::Acknowledge;
        int delayMs = -1; // < 0: the unit's answer delay
    };

    void add(const Item &item);
    // Adds the items of a plan in text form; false, and no change, if the
    // text is malformed. Blank text is no plan.
    bool parse(const std::string &text);
    // The last item that matches wins; with none the report is acknowledged.
    Item answerFor(int target, int line, int attempt) const;

    // The next n UpdateModeQuery writes fail (in place of any planned before).
    void failQueryWrites(int n);
    // Whether this UpdateModeQuery write fails, counting it off the plan.
    bool takeQueryFailure();

    // Over a real bus the unit cannot make the host's write fail: the
    // writefail items, query writes included, are left out. Returns whether
    // there were any.
    bool dropWriteFails();

    // Where the plan ends an update of files with these line counts (GPIO,
    // MIDI, MIDI, MAIN): the lines each target takes in whole, and the
    // report and answer that end the update early, if one does.
    struct Course
    {
        int received[Wire::kTargets] = {};
        int target = 0, line = 0, attempt = 0; // 0: the update completes
        Answer answer = Answer::Acknowledge;
    };
    Course course(const int lineCounts[Wire::kTargets]) const;

    // The answer's name in a plan's text ("ack", "timeout", ...).
    static const char *name(Answer answer);

private:
    std::vector<Item> items;
    int queryFailures = 0;
};

#endif // FAULTPLAN_H

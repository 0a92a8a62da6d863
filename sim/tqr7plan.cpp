// Says where the simulated unit's fault plan (TQR7SIM_FAULTS) ends an update
// of firmware files with the given line counts, so a demo can check that an
// update ended exactly where it was planned to:
//
//   tqr7plan [--usb] GPIO_LINES MIDI_LINES MAIN_LINES
//
// --usb: the plan as the gadget program plays it, without its writefail
// items (over a real bus the unit cannot make the host's write fail). It
// prints "target T N" for each target (the lines it takes in whole), then
// either "complete" or "cut T L A ANSWER" (the report and answer that end
// it). A time-planned unplug (TQR7SIM_UNPLUG_AFTER_MS) cannot be foreseen:
// then "unplug-after MS" follows. Exits 2 on bad arguments or a bad plan.

#include "sim/unitmodel.h"

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char *argv[])
{
    const bool usb = argc == 5 && std::string(argv[1]) == "--usb";
    if (argc != 4 && !usb) {
        std::fprintf(stderr, "usage: tqr7plan [--usb] GPIO_LINES MIDI_LINES MAIN_LINES\n");
        return 2;
    }
    char **n = argv + (usb ? 2 : 1);
    const int counts[4] = {std::atoi(n[0]), std::atoi(n[1]), std::atoi(n[1]), std::atoi(n[2])};
    UnitModel unit;
    const char *plan = std::getenv("TQR7SIM_FAULTS");
    if (plan && !unit.planFromText(plan)) {
        std::fprintf(stderr, "tqr7plan: TQR7SIM_FAULTS \"%s\" is malformed\n", plan);
        return 2;
    }
    if (usb)
        unit.dropPlans(Tqr7Sim::Answer::WriteFails);
    const UnitModel::Course c = unit.course(counts);
    for (int t = 1; t <= 4; ++t)
        std::printf("target %d %d\n", t, c.received[t - 1]);
    if (c.target)
        std::printf("cut %d %d %d %s\n", c.target, c.line, c.attempt, UnitModel::answerName(c.answer));
    else
        std::printf("complete\n");
    if (const char *ms = std::getenv("TQR7SIM_UNPLUG_AFTER_MS"))
        std::printf("unplug-after %d\n", std::atoi(ms));
    return 0;
}

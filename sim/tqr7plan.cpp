// SPDX-License-Identifier: MIT
// What the scripts ask about the simulated unit, so that none of them reads
// reports or firmware records itself.
//
//   tqr7plan [--usb] GPIO_LINES MIDI_LINES MAIN_LINES
//
// Says where the unit's fault plan (TQR7SIM_FAULTS) ends an update of
// firmware files with the given line counts, so a demo can check that an
// update ended exactly where it was planned to. --usb: the plan as the
// gadget program plays it, without its writefail items (over a real bus the
// unit cannot make the host's write fail). It prints "target T N" for each
// target (the lines it takes in whole), then either "complete" or
// "cut T L A ANSWER" (the report and answer that end it). A time-planned
// unplug (TQR7SIM_UNPLUG_AFTER_MS) cannot be foreseen: then
// "unplug-after MS" follows. Exits 2 on bad arguments or a bad plan.
//
//   tqr7plan lines FILE...
//
// For each firmware file, a line with the number of its lines up to and
// including the first end record (the lines an update sends of it), 0 if
// it has none.
//
//   tqr7plan data LOG       "TARGET LINE ATTEMPT" for each data report
//   tqr7plan queries LOG    the number of UpdateModeQuery writes
//   tqr7plan pace LOG       "N SECONDS RATE MEDIAN P90 MAX" of the data reports
//
// LOG is a reports.log of the unit's (TQR7SIM_OUT_DIR); every write counts,
// failed ones too. pace gives the number of data reports, the seconds from
// the first to the last, lines per second over that time, and the median,
// 90th percentile and largest gap between two of them in milliseconds, each
// to one decimal; with fewer than two reports all but N are 0.0. Exits 1
// when a file cannot be read.

#include "sim/faultplan.h"
#include "sim/wire.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

const char kUsage[] = "usage: tqr7plan [--usb] GPIO_LINES MIDI_LINES MAIN_LINES\n"
                      "       tqr7plan lines FILE...\n"
                      "       tqr7plan data|queries|pace LOG\n";

int usage()
{
    std::fputs(kUsage, stderr);
    return 2;
}

bool readable(std::ifstream &in, const char *path)
{
    if (in)
        return true;
    std::fprintf(stderr, "tqr7plan: cannot read %s\n", path);
    return false;
}

int plan(int argc, char *argv[])
{
    const bool usb = argc == 5 && std::string(argv[1]) == "--usb";
    if (argc != 4 && !usb)
        return usage();
    char **n = argv + (usb ? 2 : 1);
    const int counts[Wire::kTargets] = {std::atoi(n[0]), std::atoi(n[1]), std::atoi(n[1]), std::atoi(n[2])};
    FaultPlan faults;
    const char *text = std::getenv("TQR7SIM_FAULTS");
    if (text && !faults.parse(text)) {
        std::fprintf(stderr, "tqr7plan: TQR7SIM_FAULTS \"%s\" is malformed\n", text);
        return 2;
    }
    if (usb)
        faults.dropWriteFails();
    const FaultPlan::Course c = faults.course(counts);
    for (int t = 1; t <= Wire::kTargets; ++t)
        std::printf("target %d %d\n", t, c.received[t - 1]);
    if (c.target)
        std::printf("cut %d %d %d %s\n", c.target, c.line, c.attempt, FaultPlan::name(c.answer));
    else
        std::printf("complete\n");
    if (const char *ms = std::getenv("TQR7SIM_UNPLUG_AFTER_MS"))
        std::printf("unplug-after %d\n", std::atoi(ms));
    return 0;
}

int lines(int count, char *paths[])
{
    int status = 0;
    for (int i = 0; i < count; ++i) {
        std::ifstream in(paths[i], std::ios::binary);
        if (!readable(in, paths[i])) {
            status = 1;
            continue;
        }
        int number = 0;
        bool ended = false;
        std::string line;
        while (!ended && std::getline(in, line)) {
            ++number;
            ended = Wire::isEndRecord(line);
        }
        std::printf("%d\n", ended ? number : 0);
    }
    return status;
}

// One line of reports.log: milliseconds, the bytes written, maybe "(failed)".
struct Logged
{
    double timeMs = 0;
    std::vector<std::uint8_t> bytes;
};

bool readLog(const char *path, std::vector<Logged> &log)
{
    std::ifstream in(path);
    if (!readable(in, path))
        return false;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        Logged entry;
        fields >> entry.timeMs;
        std::string byte;
        while (fields >> byte && byte.size() == 2 && std::isxdigit(static_cast<unsigned char>(byte[0]))
            && std::isxdigit(static_cast<unsigned char>(byte[1])))
            entry.bytes.push_back(std::uint8_t(std::stoi(byte, nullptr, 16)));
        entry.bytes.resize(std::max(entry.bytes.size(), Wire::kOutputSize)); // what was not written reads 0
        log.push_back(entry);
    }
    return true;
}

int fromLog(const std::string &what, const char *path)
{
    std::vector<Logged> log;
    if (!readLog(path, log))
        return 1;
    std::vector<double> times;
    int queries = 0;
    for (const Logged &entry : log) {
        if (Wire::isQuery(entry.bytes.data(), entry.bytes.size())) {
            ++queries;
            continue;
        }
        times.push_back(entry.timeMs);
        if (what == "data") {
            const Wire::DataFields f = Wire::fields(entry.bytes.data());
            std::printf("%d %d %d\n", f.target, f.line, f.attempt);
        }
    }
    if (what == "queries")
        std::printf("%d\n", queries);
    if (what != "pace")
        return 0;
    const std::size_t n = times.size();
    if (n < 2) {
        std::printf("%zu 0.0 0.0 0.0 0.0 0.0\n", n);
        return 0;
    }
    const double span = times.back() - times.front();
    std::vector<double> gaps;
    for (std::size_t i = 1; i < n; ++i)
        gaps.push_back(times[i] - times[i - 1]);
    std::sort(gaps.begin(), gaps.end());
    const std::size_t p90 = std::size_t(double(gaps.size()) * 0.9); // counted from 1; 0: none
    std::printf("%zu %.1f %.1f %.1f %.1f %.1f\n", n, span / 1000, double(n - 1) * 1000 / span,
        gaps[(gaps.size() + 1) / 2 - 1], p90 ? gaps[p90 - 1] : 0.0, gaps.back());
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "lines")
        return argc > 2 ? lines(argc - 2, argv + 2) : usage();
    if (command == "data" || command == "queries" || command == "pace")
        return argc == 3 ? fromLog(command, argv[2]) : usage();
    return plan(argc, argv);
}

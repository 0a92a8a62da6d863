// SPDX-License-Identifier: MIT
// The simulated unit's fault plan: its items, its text form and the course
// of an update under it.

#include "sim/faultplan.h"

#include <algorithm>
#include <string_view>

using Answer = FaultPlan::Answer;

namespace {

struct Named
{
    Answer answer;
    const char *name;
};

const Named kAnswers[] = {
    {Answer::Acknowledge, "ack"},
    {Answer::BoardTimeout, "timeout"},
    {Answer::Silence, "silence"},
    {Answer::Unplug, "unplug"},
    {Answer::WriteFails, "writefail"},
    {Answer::Stall, "stall"},
};

// Reads an item of a plan left to right; every read passes over the spaces
// before what it reads.
class Scanner
{
public:
    explicit Scanner(std::string_view text) : text(text) { }

    bool word(std::string_view w)
    {
        skipSpace();
        if (text.substr(pos, w.size()) != w)
            return false;
        pos += w.size();
        return true;
    }

    bool symbol(char c) { return word(std::string_view(&c, 1)); }

    // 1 to maxDigits decimal digits.
    bool number(std::size_t maxDigits, int &value)
    {
        skipSpace();
        std::size_t end = pos;
        while (end < text.size() && text[end] >= '0' && text[end] <= '9')
            ++end;
        if (end == pos || end - pos > maxDigits)
            return false;
        value = 0;
        for (; pos < end; ++pos)
            value = value * 10 + (text[pos] - '0');
        return true;
    }

    // "*" for any (0), or a number from min to max.
    bool field(std::size_t maxDigits, int min, int max, int &value)
    {
        if (symbol('*')) {
            value = 0;
            return true;
        }
        return number(maxDigits, value) && value >= min && value <= max;
    }

    bool answer(Answer &value)
    {
        for (const Named &a : kAnswers)
            if (word(a.name)) {
                value = a.answer;
                return true;
            }
        return false;
    }

    bool atEnd()
    {
        skipSpace();
        return pos == text.size();
    }

private:
    // As in the C locale, whatever locale the program has set.
    static bool isSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
    void skipSpace()
    {
        while (pos < text.size() && isSpace(text[pos]))
            ++pos;
    }

    std::string_view text;
    std::size_t pos = 0;
};

// "T:L:A=answer[@ms]"
bool readItem(Scanner &s, FaultPlan::Item &item)
{
    return s.field(5, 1, Wire::kTargets, item.target) && s.symbol(':')
        && s.field(5, 1, Wire::kMaxLines, item.line) && s.symbol(':')
        && s.field(1, 1, Wire::kMaxAttempts, item.attempt) && s.symbol('=') && s.answer(item.answer)
        && (!s.symbol('@') || s.number(6, item.delayMs)) && s.atEnd();
}

// "query=writefail[*N]", after its first word
bool readQueryItem(Scanner &s, int &count)
{
    count = 1;
    return s.symbol('=') && s.word(FaultPlan::name(Answer::WriteFails))
        && (!s.symbol('*') || s.number(6, count)) && s.atEnd() && count >= 1;
}

} // namespace

const char *FaultPlan::name(Answer answer)
{
    for (const Named &a : kAnswers)
        if (a.answer == answer)
            return a.name;
    return "?";
}

void FaultPlan::add(const Item &item)
{
    items.push_back(item);
}

// item[,item...]
bool FaultPlan::parse(const std::string &text)
{
    if (Scanner(text).atEnd())
        return true;
    std::vector<Item> parsed;
    int failures = 0;
    for (std::size_t from = 0; from <= text.size();) {
        const std::size_t comma = std::min(text.find(',', from), text.size());
        Scanner s(std::string_view(text).substr(from, comma - from));
        Item item;
        int count = 0;
        if (s.word("query") ? !readQueryItem(s, count) : !readItem(s, item))
            return false;
        if (count)
            failures += count;
        else
            parsed.push_back(item);
        from = comma + 1;
    }
    items.insert(items.end(), parsed.begin(), parsed.end());
    queryFailures += failures;
    return true;
}

FaultPlan::Item FaultPlan::answerFor(int target, int line, int attempt) const
{
    Item chosen;
    for (const Item &p : items)
        if ((!p.target || p.target == target) && (!p.line || p.line == line)
            && (!p.attempt || p.attempt == attempt))
            chosen = p;
    return chosen;
}

void FaultPlan::failQueryWrites(int n)
{
    queryFailures = std::max(0, n);
}

bool FaultPlan::takeQueryFailure()
{
    if (queryFailures <= 0)
        return false;
    --queryFailures;
    return true;
}

bool FaultPlan::dropWriteFails()
{
    const auto writeFails = [](const Item &p) { return p.answer == Answer::WriteFails; };
    const bool any = queryFailures > 0 || std::any_of(items.begin(), items.end(), writeFails);
    items.erase(std::remove_if(items.begin(), items.end(), writeFails), items.end());
    queryFailures = 0;
    return any;
}

// The update as the program sends it: each line until it is acknowledged,
// a bus time-out answered by the next attempt, at most kMaxAttempts; any
// other answer ends the update.
FaultPlan::Course FaultPlan::course(const int lineCounts[Wire::kTargets]) const
{
    Course c;
    for (int t = 1; t <= Wire::kTargets; ++t) {
        for (int l = 1; l <= lineCounts[t - 1]; ++l) {
            for (int a = 1; a <= Wire::kMaxAttempts; ++a) {
                const Answer answer = answerFor(t, l, a).answer;
                if (answer == Answer::Acknowledge)
                    break;
                if (answer != Answer::BoardTimeout || a == Wire::kMaxAttempts) {
                    c.target = t, c.line = l, c.attempt = a, c.answer = answer;
                    return c;
                }
            }
            ++c.received[t - 1];
        }
    }
    return c;
}

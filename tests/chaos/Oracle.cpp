// The oracle: the tool's expected output, exit status, timing and wire bytes
// for a session, worked out from the session's choices.
#include "Oracle.h"

#include <algorithm>

#include "../e2e/CaseText.h"
#include "../e2e/Harness.h"

namespace {

std::string Fill(const std::string& text, const std::string& port) {
    return FillPlaceholders(text, port, NativeRunner().pause);
}

// A wait between the two bands, where the outcome would hang on the
// machine's load.
bool Ambiguous(int ms) { return ms > kPauseKeepsMax && ms < kPauseEndsMin; }

std::string AmbiguousWaits(const Session& s) {
    for (int g : s.reply.gapsMs)
        if (Ambiguous(g)) return "reply pause " + std::to_string(g);
    for (int g : s.greeting.gapsMs)
        if (Ambiguous(g)) return "greeting pause " + std::to_string(g);
    if (Ambiguous(s.settleMs)) return "settle " + std::to_string(s.settleMs);
    for (const auto& late : s.lateMs)
        if (late.second > kPauseKeepsMax) return "late status " + std::to_string(late.second);
    if (s.fault == StatusFault::kLateOver && s.faultLateMs < kPauseEndsMin)
        return "late status " + std::to_string(s.faultLateMs);
    return "";
}

std::string ImageMessage(const Session& s, const std::string& file) {
    const std::string head = "Error: File '" + file + "' ";
    switch (s.imageKind) {
    case ImageKind::kTooLarge: return head + "holds more than 131072 bytes.\n";
    case ImageKind::kNoData: return head + "holds no image data.\n";
    case ImageKind::kUnreadable: return head + "could not be read.\n";
    case ImageKind::kTruncated: {
        size_t offset = 0;
        for (int n : s.blockCounts) offset += RecordSize(n);
        return head + "is truncated: the record at offset " + std::to_string(offset) + " needs " +
               std::to_string(RecordSize(s.cutBlockCount)) + " bytes, " + std::to_string(s.cutBytes) +
               " remain.\n";
    }
    case ImageKind::kValid: break;
    }
    return "";
}

// The console's echo of a reply, nothing at all when there was none.
std::string Shown(const std::string& bytes) { return bytes.empty() ? "" : Echo(bytes); }

// How many bytes of a message the target sends: half of it when it
// vanishes halfway.
size_t SentCount(const Message& m) {
    if (!m.sent) return 0;
    return m.vanish ? m.bytes.size() / 2 : m.bytes.size();
}

// The transfer, once the greeting is accepted: fills in the rest of `e`
// and adds the transfer's waits to *ms. Returns the number of records sent.
size_t ExpectTransfer(const Session& s, Expectation& e, double* ms) {
    const std::vector<int>& counts = s.blockCounts;
    const size_t sent = s.fault == StatusFault::kNone ? counts.size() : s.faultRecord;
    e.after += Progress(counts, sent);

    size_t end = 0;  // bytes of the records sent in full
    for (size_t i = 0; i < sent; ++i) end += RecordSize(counts[i]);
    e.conn2 = s.image.substr(0, end);
    for (const auto& late : s.lateMs)
        if (late.first <= sent) *ms += late.second;

    const std::string k = std::to_string(s.faultRecord);
    switch (s.fault) {
    case StatusFault::kNone:
        e.after += Done();
        e.status = 0;
        e.simResult = "ok";
        e.outcome = "transfer: success";
        break;
    case StatusFault::kCode:
        e.after += "\nError. Error code " + std::to_string(s.faultCode) + ".\n{PAUSE}";
        e.simResult = "fail status " + k + " " + std::to_string(s.faultCode);
        e.outcome = "transfer: error code";
        break;
    case StatusFault::kLateOver:
        e.after += NotResponding();
        e.simResult = "fail closed-before-status " + k;
        e.outcome = "transfer: not responding, status too late";
        *ms += kSilenceMs;
        break;
    case StatusFault::kSilent:
        e.after += NotResponding();
        e.simResult = "fail silent " + k;
        e.outcome = "transfer: not responding, silence";
        *ms += kSilenceMs;
        break;
    case StatusFault::kVanish: {
        // The target takes half the record, then its port is gone.
        size_t last = RecordSize(counts[sent - 1]);
        e.conn2 = s.image.substr(0, end - last + last / 2);
        e.after += NotResponding();
        e.simResult = "fail vanished";
        e.outcome = "transfer: not responding, port vanished";
        break;
    }
    }
    return sent;
}

}  // namespace

std::string Heard(const Message& m, size_t count, int leadMs, int* lastMs, bool* cut) {
    std::string heard;
    int t = 0;
    *lastMs = 0;
    *cut = false;
    for (size_t i = 0; i < count; ++i) {
        int gap = i == 0 ? leadMs : i - 1 < m.gapsMs.size() ? m.gapsMs[i - 1] : 0;
        if (gap >= kPauseEndsMin) {
            *cut = true;
            break;
        }
        t += gap;
        heard += m.bytes[i];
        *lastMs = t;
    }
    return heard;
}

void DotRange(int gapMs, int* lo, int* hi) {
    // Attempt i is planned kCloseWaitMs + i * kRetryMs after the close; the
    // first that finds the port back succeeds, and each failed one prints a
    // dot.
    auto firstFinding = [](int backMs, bool late) {
        int i = 0;
        while (kCloseWaitMs + i * kRetryMs + (late ? kLateBaseMs + i * kWakeMs : 0) < backMs) ++i;
        return i;
    };
    *lo = firstFinding(gapMs, true);
    *hi = firstFinding(gapMs + kPortLateMs, false);
}

Expectation Expect(const Session& s, const std::string& port, const std::string& file, double perRecordMs) {
    Expectation e;
    e.before = Head();
    if (s.imageKind != ImageKind::kValid) {
        // Refused before any port is touched; the sim waits in vain and is stopped.
        e.before += ImageMessage(s, file) + "{PAUSE}";
        e.before = Fill(e.before, port);
        e.opens = 0;
        e.simResult = "fail signal";
        e.maxSeconds = kLateMs / 1000.0;
        e.outcome = "image refused: " + s.shape;
        return e;
    }
    e.problem = AmbiguousWaits(s);

    // The trigger and what the tool hears of the answer.
    e.conn1 = "BOOT\r\n";
    int lastMs = 0;
    bool cut = false;
    const std::string reply = Heard(s.reply, SentCount(s.reply), 0, &lastMs, &cut);
    // A pause that ends the reply first makes the tool close the port
    // before the target could vanish: then it is an ordinary reset.
    const bool replyVanished = s.reply.vanish && !cut;
    e.before += "{PORT} opened.\n" + Shown(reply) + "{PORT} closed.\n";
    double ms = std::max(kTriggerWaitMs, lastMs) + (replyVanished ? 0 : kSilenceMs);

    e.portGapMs = replyVanished ? s.reappearMs : s.resetGapMs;
    DotRange(e.portGapMs, &e.dotsMin, &e.dotsMax);
    double minMs = ms + kCloseWaitMs + kRetryMs * e.dotsMin;
    double maxMs = ms + kCloseWaitMs + kRetryMs * e.dotsMax + kLateBaseMs + kWakeMs * e.dotsMax;
    ms = 0;  // from here on, counted from the re-open

    // The greeting.
    e.after = "{PORT} opened.\n";
    const Message& g = s.greeting;
    const std::string greeting = Heard(g, SentCount(g), s.settleMs, &lastMs, &cut);
    const bool late = s.settleMs >= kPauseEndsMin;
    const bool none = !g.sent || g.bytes.empty();
    const bool greetingVanished = g.vanish && !cut && !late;
    // The tool reads until a second of silence, or until the port drops.
    ms += greetingVanished ? std::max(s.settleMs, lastMs) : greeting.empty() ? kSilenceMs : lastMs + kSilenceMs;
    e.after += Shown(greeting);
    const bool accepted = !greeting.empty() && greeting.back() == '+';
    size_t records = 0;
    if (accepted && cut) e.problem = "the greeting heard in part ends in \"+\"";

    if (!accepted) {
        e.after += LoaderFailed();
        if (late) {
            e.simResult = "fail closed-before-greeting";
            e.outcome = "loader: greeting later than a second";
        } else if (none) {
            e.simResult = "fail no-greeting";
            e.outcome = "loader: no greeting";
        } else if (greetingVanished) {
            e.simResult = "fail vanished";
            e.outcome = "loader: port vanished in the greeting";
        } else if (cut) {
            e.simResult = "fail closed-during-greeting";
            e.outcome = "loader: greeting cut by a pause";
        } else {
            e.simResult = "fail short 0 of " + std::to_string(s.image.size());
            e.outcome = "loader: greeting refused";
        }
    } else if (greetingVanished) {
        // Accepted, but the port is gone: the first record goes nowhere.
        e.after += Progress(s.blockCounts, 1) + NotResponding();
        e.simResult = "fail vanished";
        e.outcome = "transfer: not responding, port vanished after the greeting";
    } else {
        records = ExpectTransfer(s, e, &ms);
    }

    e.records = records;
    e.waitSeconds = (minMs + ms) / 1000;
    e.minSeconds = std::max(0.0, (minMs + ms - kEarlyMs) / 1000);
    e.maxSeconds = (maxMs + ms + kLateMs + perRecordMs * static_cast<double>(records)) / 1000;
    e.before = Fill(e.before, port);
    e.after = Fill(e.after, port);
    return e;
}

// Drawing a chaos session from its seed, and the sim's command line for it.
#include "Session.h"

#include <algorithm>

#include "Random.h"

namespace {

const size_t kCapacity = 131072;

// ---- the image ---------------------------------------------------------------

int DrawBlockCount(Random& r) {
    switch (r.Pick({50, 35, 15})) {
    case 0: return static_cast<int>(r.Range(0, 3));
    case 1: return static_cast<int>(r.Range(4, 40));
    default: return static_cast<int>(r.Range(41, 255));
    }
}

// Records drawn by `draw` while they fit in `target` bytes (at least one).
template <typename Draw>
std::vector<int> FillTo(size_t target, Draw draw) {
    std::vector<int> counts;
    size_t total = 0;
    for (;;) {
        int n = draw();
        if (!counts.empty() && total + RecordSize(n) > target) break;
        if (counts.empty() && RecordSize(n) > target) n = 0;
        counts.push_back(n);
        total += RecordSize(n);
    }
    return counts;
}

// 48 records of exactly 131,072 bytes in all: 48 * 5 + 16 * 8,177.
std::vector<int> FullImage(Random& r) {
    std::vector<int> counts(48, 170);
    for (int extra = 8177 - 48 * 170; extra > 0; --extra) ++counts[static_cast<size_t>(r.Range(0, 47))];
    for (int i = 0; i < 300; ++i) {
        size_t from = static_cast<size_t>(r.Range(0, 47));
        size_t to = static_cast<size_t>(r.Range(0, 47));
        int move = static_cast<int>(r.Range(0, 60));
        move = std::min({move, counts[from], 255 - counts[to]});
        counts[from] -= move;
        counts[to] += move;
    }
    return counts;
}

void DrawRecords(Random& r, Session& s) {
    switch (r.Pick({15, 30, 10, 25, 10, 10})) {
    case 0:
        s.shape = "one record";
        s.blockCounts = {DrawBlockCount(r)};
        break;
    case 1:
        s.shape = "a few records";
        for (int64_t i = r.Range(2, 8); i > 0; --i) s.blockCounts.push_back(DrawBlockCount(r));
        break;
    case 2:
        s.shape = "many small records";
        s.blockCounts = FillTo(static_cast<size_t>(r.Range(2000, kCapacity)),
                               [&r] { return static_cast<int>(r.Range(0, 2)); });
        break;
    case 3:
        s.shape = "mixed records";
        s.blockCounts = FillTo(static_cast<size_t>(r.Range(5, kCapacity)),
                               [&r] { return static_cast<int>(r.Range(0, 255)); });
        break;
    case 4:
        s.shape = "large records";
        s.blockCounts = FillTo(static_cast<size_t>(r.Range(4085, kCapacity)),
                               [&r] { return static_cast<int>(r.Range(200, 255)); });
        break;
    default:
        s.shape = "the full 131072 bytes";
        s.blockCounts = FullImage(r);
        break;
    }
}

std::string RecordBytes(Random& r, int blockCount) {
    std::string record(1, static_cast<char>(blockCount));
    for (size_t i = 1; i < RecordSize(blockCount); ++i) record += static_cast<char>(r.Range(0, 255));
    return record;
}

std::string ImageBytes(Random& r, const std::vector<int>& counts) {
    std::string image;
    for (int n : counts) image += RecordBytes(r, n);
    return image;
}

void DrawImage(Random& r, Session& s) {
    switch (r.Pick({95, 1, 1, 2, 1})) {
    case 0:
        s.imageKind = ImageKind::kValid;
        DrawRecords(r, s);
        s.image = ImageBytes(r, s.blockCounts);
        s.fileText = HexText(s.image, r.Next());
        break;
    case 1:
        s.imageKind = ImageKind::kTooLarge;
        s.shape = "too large";
        s.blockCounts = FullImage(r);
        s.image = ImageBytes(r, s.blockCounts);
        for (int64_t i = r.Range(1, 100); i > 0; --i) s.image += static_cast<char>(r.Range(0, 255));
        s.fileText = HexText(s.image, r.Next());
        break;
    case 2: {
        static const char* const kNoHex[] = {
            "", " \r\n\t\n", "; an image\n00 01 02 03 04\n", ":0300300002337A1E\n",
            "S00600004844521B\n", "\x7f" "ELF\x02\x01\x01", "-- 00 01 02 03 04", "xyz"};
        s.imageKind = ImageKind::kNoData;
        s.shape = "no image data";
        s.fileText = kNoHex[r.Range(0, 7)];
        break;
    }
    case 3:
        s.imageKind = ImageKind::kTruncated;
        s.shape = "truncated";
        for (int64_t i = r.Range(0, 5); i > 0; --i) s.blockCounts.push_back(DrawBlockCount(r));
        s.image = ImageBytes(r, s.blockCounts);
        s.cutBlockCount = DrawBlockCount(r);
        s.cutBytes = static_cast<size_t>(r.Range(1, static_cast<int64_t>(RecordSize(s.cutBlockCount)) - 1));
        s.image += RecordBytes(r, s.cutBlockCount).substr(0, s.cutBytes);
        s.fileText = HexText(s.image, r.Next());
        break;
    default:
        s.imageKind = ImageKind::kUnreadable;
        s.shape = "a folder";
        break;
    }
}

// ---- the target's messages ------------------------------------------------------

// The lengths of the long replies and greetings a target may send.
const size_t kLongLengths[] = {256, 300, 1100};

std::string Printable(Random& r, size_t length) {
    std::string text;
    while (text.size() < length) text += static_cast<char>(r.Range(32, 126));
    return text;
}

std::string AnyBytes(Random& r, size_t length) {
    std::string bytes;
    while (bytes.size() < length) bytes += static_cast<char>(r.Range(0, 255));
    return bytes;
}

// A pause that keeps the tool reading: none, short, or longer than the
// port's 500 ms interval but still inside the one-byte read's second.
int KeepingPause(Random& r) {
    switch (r.Pick({50, 30, 20})) {
    case 0: return 0;
    case 1: return static_cast<int>(r.Range(1, 400));
    default: return static_cast<int>(r.Range(550, kPauseKeepsMax));
    }
}

int EndingPause(Random& r) { return static_cast<int>(r.Range(kPauseEndsMin + 100, 2000)); }

// Pauses before up to eight bytes of a short message; a long one, when
// `ending` allows, ends what the tool hears of it.
std::vector<int> DrawPauses(Random& r, const std::string& bytes, bool ending) {
    std::vector<int> gaps;
    if (bytes.size() < 2 || bytes.size() > 24) return gaps;
    size_t n = std::min<size_t>(bytes.size() - 1, 8);
    for (size_t i = 0; i < n; ++i) gaps.push_back(ending && r.Percent(10) ? EndingPause(r) : KeepingPause(r));
    return gaps;
}

// A reset gap, or the time a vanished port takes to return: short (the first
// re-open finds it), in the middle between two re-open attempts (a known
// number of dots), or anywhere (the dots are bounded).
int DrawPortGap(Random& r) {
    switch (r.Pick({30, 40, 30})) {
    case 0: return static_cast<int>(r.Range(0, 350));
    case 1: return static_cast<int>(600 + 200 * r.Range(0, 9) + r.Range(-20, 20));
    default: return static_cast<int>(r.Range(0, 3000));
    }
}

void DrawReply(Random& r, Session& s) {
    Message& m = s.reply;
    static const char* const kTexts[] = {"OK\r\n", "OK", "BOOTING\r\n", "?\r\n", "ERR\r\n", "BOOT\r\n"};
    switch (r.Pick({15, 35, 15, 20, 10, 5})) {
    case 0:
        m.sent = false;
        return;
    case 1: m.bytes = kTexts[r.Range(0, 5)]; break;
    case 2: m.bytes = Printable(r, static_cast<size_t>(r.Range(1, 20))); break;
    case 3: m.bytes = AnyBytes(r, static_cast<size_t>(r.Range(1, 64))); break;
    case 4: m.bytes = AnyBytes(r, kLongLengths[r.Range(0, 2)]); break;
    default: m.bytes = std::string(1, '\0') + Printable(r, static_cast<size_t>(r.Range(0, 8))); break;
    }
    if (r.Percent(50)) m.gapsMs = DrawPauses(r, m.bytes, true);
    if (m.bytes.size() >= 2 && r.Percent(6)) {
        m.vanish = true;
        s.reappearMs = DrawPortGap(r);
    }
}

// A greeting that ends in "+" (or, with `plus` false, in anything else).
std::string Greeting(Random& r, std::string body, bool plus) {
    if (plus) return body + "+";
    char last = static_cast<char>(r.Range(0, 255));
    if (last == '+') last = '-';
    return body + last;
}

void DrawGreeting(Random& r, Session& s) {
    Message& m = s.greeting;
    s.settleMs = 20 + (r.Percent(50) ? 0 : static_cast<int>(r.Range(0, 600)));
    switch (r.Pick({45, 8, 8, 5, 8, 10, 4, 6, 6})) {
    case 0:
        m.bytes = r.Percent(40) ? "LOADER v1.0+" : Greeting(r, Printable(r, static_cast<size_t>(r.Range(0, 39))), true);
        break;
    case 1: m.bytes = Greeting(r, AnyBytes(r, static_cast<size_t>(r.Range(0, 63))), true); break;
    case 2: {
        static const char* const kRefused[] = {"+OK", "LOADER v1.0", "ERR", "LOADER v1.0+\r\n"};
        size_t i = static_cast<size_t>(r.Range(0, 4));
        m.bytes = i < 4 ? kRefused[i] : Greeting(r, Printable(r, static_cast<size_t>(r.Range(0, 29))), false);
        break;
    }
    case 3:
        if (r.Percent(50)) m.sent = false;  // else an empty text, which a target sends as nothing
        return;
    case 4: {
        std::string body = Printable(r, static_cast<size_t>(r.Range(0, 10))) + std::string(1, '\0') +
                           Printable(r, static_cast<size_t>(r.Range(0, 10)));
        m.bytes = Greeting(r, body, r.Percent(75));
        break;
    }
    case 5: {
        size_t length = kLongLengths[r.Range(0, 2)];
        std::string body = r.Percent(50) ? Printable(r, length - 1) : AnyBytes(r, length - 1);
        m.bytes = Greeting(r, body, r.Percent(75));
        return;
    }
    case 6:
        // A loader slower than the tool waits.
        s.settleMs = static_cast<int>(r.Range(kPauseEndsMin, 1800));
        m.bytes = "LOADER v1.0+";
        return;
    case 7: {
        // Cut by a long pause, after a byte that is not "+": what the tool
        // heard is refused, while the rest is still on its way. (Cut after
        // a "+", the tool would take the rest for a status.)
        m.bytes = Greeting(r, Printable(r, static_cast<size_t>(r.Range(1, 12))), true);
        m.gapsMs = DrawPauses(r, m.bytes, false);
        size_t cut = static_cast<size_t>(r.Range(1, static_cast<int64_t>(m.bytes.size()) - 1));
        if (m.bytes[cut - 1] == '+') m.bytes[cut - 1] = '*';
        if (m.gapsMs.size() < cut) m.gapsMs.resize(cut, 0);
        m.gapsMs[cut - 1] = EndingPause(r);
        return;
    }
    default:
        m.bytes = Greeting(r, Printable(r, static_cast<size_t>(r.Range(0, 20))), r.Percent(80));
        m.vanish = true;
        break;
    }
    if (r.Percent(30)) m.gapsMs = DrawPauses(r, m.bytes, false);
}

// ---- the records' statuses ------------------------------------------------------

void DrawStatuses(Random& r, Session& s) {
    const size_t records = s.blockCounts.size();
    switch (r.Pick({45, 25, 10, 10, 10})) {
    case 0: s.fault = StatusFault::kNone; break;
    case 1: s.fault = StatusFault::kCode; break;
    case 2: s.fault = StatusFault::kLateOver; break;
    case 3: s.fault = StatusFault::kSilent; break;
    default: s.fault = StatusFault::kVanish; break;
    }
    if (s.fault != StatusFault::kNone) {
        switch (r.Pick({20, 20, 60})) {
        case 0: s.faultRecord = 1; break;
        case 1: s.faultRecord = records; break;
        default: s.faultRecord = static_cast<size_t>(r.Range(1, static_cast<int64_t>(records))); break;
        }
    }
    if (s.fault == StatusFault::kCode) {
        switch (r.Pick({30, 20, 50})) {
        case 0: s.faultCode = 255; break;
        case 1: s.faultCode = 1; break;
        default: s.faultCode = static_cast<int>(r.Range(1, 255)); break;
        }
    }
    if (s.fault == StatusFault::kLateOver) s.faultLateMs = static_cast<int>(r.Range(kPauseEndsMin, 1800));

    // A few statuses late but inside the window, on records the tool gets to
    // (the fault record too when it answers with a code).
    const size_t answered = s.fault == StatusFault::kNone ? records
                            : s.fault == StatusFault::kCode ? s.faultRecord
                                                             : s.faultRecord - 1;
    if (answered > 0 && r.Percent(50)) {
        for (int64_t i = r.Range(1, 3); i > 0; --i) {
            size_t k = static_cast<size_t>(r.Range(1, static_cast<int64_t>(answered)));
            s.lateMs[k] = static_cast<int>(r.Range(50, kPauseKeepsMax));
        }
    }
}

std::string Escaped(const std::string& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += "\\x";
        out += kDigits[c >> 4];
        out += kDigits[c & 15];
    }
    return out;
}

std::string Joined(const std::vector<int>& values) {
    std::string out;
    for (size_t i = 0; i < values.size(); ++i) out += (i ? "," : "") + std::to_string(values[i]);
    return out;
}

}  // namespace

std::string HexText(const std::string& bytes, uint64_t style) {
    Random r(style);
    static const char kLower[] = "0123456789abcdef";
    static const char kUpper[] = "0123456789ABCDEF";
    static const char* const kBlanks[] = {" ", "  ", "\t", " \t "};
    static const char* const kLineEnds[] = {"\n", "\r\n", " \n", "\n\n"};
    static const char* const kNotes[] = {"", "\n", "\n; end of image\n", "\n-- notes: 00 11 22\n", " zz 01 02"};
    const size_t letterCase = r.Pick({40, 30, 30});  // lower, upper, each digit either
    const bool glued = r.Percent(20);                // pairs run together within a line
    const bool singles = !glued && r.Percent(30);    // bytes below 16 sometimes as one digit
    const std::string blank = glued ? "" : kBlanks[r.Range(0, 3)];
    const std::string lineEnd = kLineEnds[r.Range(0, 3)];
    size_t perLine = 16;
    switch (r.Pick({40, 40, 20})) {
    case 0: break;
    case 1: perLine = static_cast<size_t>(r.Range(1, 64)); break;
    default: perLine = bytes.size() + 1; break;
    }
    auto digit = [&](unsigned v) {
        const char* set = letterCase == 0 ? kLower : letterCase == 1 ? kUpper : (r.Percent(50) ? kLower : kUpper);
        return set[v];
    };

    std::string text = r.Percent(20) ? "\n  " : "";
    text.reserve(bytes.size() * 3 + 64);
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i > 0) text += i % perLine == 0 ? lineEnd : blank;
        unsigned char b = static_cast<unsigned char>(bytes[i]);
        // One digit is a whole item only where white space follows it.
        if (singles && b < 16 && r.Percent(50)) {
            text += digit(b);
            if (i + 1 == bytes.size()) text += ' ';
        } else {
            text += digit(b >> 4);
            text += digit(b & 15);
        }
    }
    return text + kNotes[r.Range(0, 4)];
}

Session DrawSession(uint64_t seed) {
    Session s;
    Random r(seed);
    DrawImage(r, s);
    if (s.imageKind != ImageKind::kValid) return s;
    DrawReply(r, s);
    s.resetGapMs = DrawPortGap(r);
    DrawGreeting(r, s);
    DrawStatuses(r, s);
    return s;
}

std::vector<std::string> SimArguments(const Session& s, const std::string& expectFile,
                                      double timeoutSeconds) {
    std::vector<std::string> a = {"--timeout", std::to_string(timeoutSeconds)};
    if (s.imageKind != ImageKind::kValid) return a;
    a.insert(a.end(), {"--expect", expectFile});

    if (s.reply.sent) {
        a.insert(a.end(), {"--reply", Escaped(s.reply.bytes)});
    } else {
        a.push_back("--no-reply");
    }
    if (!s.reply.gapsMs.empty()) a.insert(a.end(), {"--reply-gaps", Joined(s.reply.gapsMs)});
    if (s.reply.vanish) a.insert(a.end(), {"--vanish-in-reply", "--reappear-after", std::to_string(s.reappearMs)});
    a.insert(a.end(), {"--gap", std::to_string(s.resetGapMs), "--settle", std::to_string(s.settleMs)});

    if (s.greeting.sent) {
        a.insert(a.end(), {"--greeting", Escaped(s.greeting.bytes)});
    } else {
        a.push_back("--no-greeting");
    }
    if (!s.greeting.gapsMs.empty()) a.insert(a.end(), {"--greeting-gaps", Joined(s.greeting.gapsMs)});
    if (s.greeting.vanish) a.push_back("--vanish-in-greeting");

    for (const auto& late : s.lateMs) {
        a.insert(a.end(), {"--late", std::to_string(late.first) + ":" + std::to_string(late.second)});
    }
    const std::string k = std::to_string(s.faultRecord);
    switch (s.fault) {
    case StatusFault::kNone: break;
    case StatusFault::kCode: a.insert(a.end(), {"--status", k + ":" + std::to_string(s.faultCode)}); break;
    case StatusFault::kLateOver: a.insert(a.end(), {"--late", k + ":" + std::to_string(s.faultLateMs)}); break;
    case StatusFault::kSilent: a.insert(a.end(), {"--silent", k}); break;
    case StatusFault::kVanish: a.insert(a.end(), {"--vanish", k}); break;
    }
    return a;
}

std::vector<std::string> Tags(const Session& s) {
    std::vector<std::string> tags = {"image: " + s.shape};
    if (s.imageKind != ImageKind::kValid) return tags;

    auto pauses = [&tags](const Message& m, const std::string& what) {
        for (int g : m.gapsMs) {
            if (g >= kPauseEndsMin) {
                tags.push_back(what + ": cut by a pause over a second");
                return;
            }
        }
        for (int g : m.gapsMs) {
            if (g > 500) {
                tags.push_back(what + ": pauses over the 500 ms interval, kept");
                return;
            }
        }
    };
    if (!s.reply.sent) tags.push_back("reply: none");
    if (s.reply.bytes.size() >= 256) tags.push_back("reply: " + std::to_string(s.reply.bytes.size()) + " bytes");
    if (s.reply.bytes.find('\0') != std::string::npos) tags.push_back("reply: a zero byte");
    pauses(s.reply, "reply");
    if (s.reply.vanish) tags.push_back("reply: port vanished and came back");
    int gap = s.reply.vanish ? s.reappearMs : s.resetGapMs;
    tags.push_back(gap < 500 ? "reset: no dots" : gap <= 1500 ? "reset: dots, up to 1.5 s" : "reset: dots, over 1.5 s");

    const Message& g = s.greeting;
    if (!g.sent || g.bytes.empty()) tags.push_back("greeting: none or empty");
    if (g.bytes.size() >= 256) tags.push_back("greeting: " + std::to_string(g.bytes.size()) + " bytes");
    if (g.bytes.find('\0') != std::string::npos) tags.push_back("greeting: a zero byte");
    if (!g.bytes.empty() && g.bytes.back() != '+') tags.push_back("greeting: last byte not +");
    if (s.settleMs >= kPauseEndsMin) tags.push_back("greeting: later than a second");
    pauses(g, "greeting");
    if (g.vanish) tags.push_back("greeting: port vanished");

    if (!s.lateMs.empty()) tags.push_back("status: late inside the window");
    static const char* const kFaults[] = {"status: all 0", "status: error code", "status: later than the window",
                                          "status: silence", "status: port vanished mid-record"};
    tags.push_back(kFaults[static_cast<int>(s.fault)]);
    return tags;
}

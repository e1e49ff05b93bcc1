// One chaos session: the image file the tool is given and everything the
// simulated target does, drawn from a seed; and the sim's command line that
// makes the target do it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

// The tool reads a reply byte by byte, each read waiting up to a second, so
// a pause ends a reply only when it is longer than that. Pauses are drawn
// at most this long (they keep a reply going) ...
const int kPauseKeepsMax = 700;
// ... or at least this long (they end it), never in between, where load on
// the machine could tip the outcome either way.
const int kPauseEndsMin = 1400;

enum class ImageKind { kValid, kTooLarge, kNoData, kTruncated, kUnreadable };

// A message of the target's, the answer to the trigger or the greeting.
struct Message {
    bool sent = true;         // false: the target sends none at all
    std::string bytes;
    std::vector<int> gapsMs;  // gapsMs[i]: the pause before byte i + 1; later bytes follow at once
    bool vanish = false;      // the first half is sent, then the port drops
};

// What goes wrong at the session's fault record.
enum class StatusFault {
    kNone,      // every record is answered 0
    kCode,      // a non-zero status (possibly late, inside the window)
    kLateOver,  // a status later than the tool waits
    kSilent,    // no status at all
    kVanish,    // the port drops after half the record
};

struct Session {
    ImageKind imageKind = ImageKind::kValid;
    std::string shape;              // how the image was drawn, for the figures
    std::vector<int> blockCounts;   // the whole records of the image
    std::string image;              // the bytes the file's text decodes to
    int cutBlockCount = 0;          // kTruncated: the record cut short ...
    size_t cutBytes = 0;            // ... and how many of its bytes remain
    std::string fileText;           // the image file's contents

    Message reply;                  // answer to the trigger
    int reappearMs = 0;             // reply.vanish: the port is back after this
    int resetGapMs = 200;           // the port is gone this long after the tool's close
    Message greeting;
    int settleMs = 20;              // after the tool's re-open, before the greeting

    std::map<size_t, int> lateMs;   // record (from 1) -> its status this late, inside the window
    size_t faultRecord = 0;         // from 1; 0 with kNone
    StatusFault fault = StatusFault::kNone;
    int faultCode = 0;              // kCode
    int faultLateMs = 0;            // kLateOver
};

// Every choice of a session, from its seed alone.
Session DrawSession(uint64_t seed);

// The sim's options for the session (after its path, --log and --rx).
// `expectFile` holds the whole image; `timeoutSeconds` ends a sim that
// lingers.
std::vector<std::string> SimArguments(const Session& s, const std::string& expectFile,
                                      double timeoutSeconds);

// The tags that describe what a session drew, for the figures
// ("reply: none", "reset: dots", ...).
std::vector<std::string> Tags(const Session& s);

// The image as hexadecimal text, in one of the layouts a file may have
// (drawn from `style`): case, separators, line lengths, single-digit items,
// digits run together in pairs, trailing notes.
std::string HexText(const std::string& bytes, uint64_t style);

// Record lengths, from block counts.
inline size_t RecordSize(int blockCount) { return 16 * static_cast<size_t>(blockCount) + 5; }

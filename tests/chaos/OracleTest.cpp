// Unit tests of the chaos run's oracle, its drawing of sessions and its
// judging: a mistake in any of them would hide a fault of the tool or
// report one that is not there.
#include <gtest/gtest.h>

#include <set>

#include "../e2e/CaseText.h"
#include "../e2e/Harness.h"
#include "Judge.h"
#include "Oracle.h"
#include "Session.h"
#include "loader/Image.h"

namespace {

const std::string kPort = "/tmp/x/port";
const std::string kPause = "Press any key to continue . . . \n";

std::string WithPort(const std::string& text) { return FillPlaceholders(text, kPort, kPause); }

// The target the end-to-end cases use by default: "OK\r\n", a 200 ms
// reset, "LOADER v1.0+", every status 0.
Session Plain(const std::vector<int>& counts) {
    Session s;
    s.reply.bytes = "OK\r\n";
    s.greeting.bytes = "LOADER v1.0+";
    s.blockCounts = counts;
    s.image = Records(counts);
    return s;
}

Message Paced(const std::string& bytes, const std::vector<int>& gaps) {
    Message m;
    m.bytes = bytes;
    m.gapsMs = gaps;
    return m;
}

std::string Output(const Expectation& e, int dots) { return e.before + std::string(dots, '.') + e.after; }

}  // namespace

TEST(ChaosHeard, PausesUpToTheSecondKeepTheReplyGoingLongerOnesEndIt) {
    int last = -1;
    bool cut = true;
    // 650 ms is over the port's 500 ms interval, but each byte is a read
    // of its own that waits a whole second.
    EXPECT_EQ(Heard(Paced("ABCD", {0, 650, 700}), 4, 0, &last, &cut), "ABCD");
    EXPECT_FALSE(cut);
    EXPECT_EQ(last, 1350);
    EXPECT_EQ(Heard(Paced("ABCD", {300, 1500, 0}), 4, 0, &last, &cut), "AB");
    EXPECT_TRUE(cut);
    EXPECT_EQ(last, 300);
    // Only `count` bytes are sent (half, when the port vanishes).
    EXPECT_EQ(Heard(Paced("ABCD", {1500}), 1, 0, &last, &cut), "A");
    EXPECT_FALSE(cut);
    // A greeting that starts later than the tool waits is not heard at all.
    EXPECT_EQ(Heard(Paced("AB+", {}), 3, 1400, &last, &cut), "");
    EXPECT_TRUE(cut);
    EXPECT_EQ(Heard(Paced("AB+", {}), 3, 700, &last, &cut), "AB+");
    EXPECT_EQ(last, 700);
}

TEST(ChaosDots, CountedWhereTheGapLiesBetweenTwoAttemptsBoundedWhereLoadCouldTipThem) {
    int lo = -1, hi = -1;
    for (int gap : {0, 200, 429}) {
        DotRange(gap, &lo, &hi);
        EXPECT_EQ(lo, 0) << gap;
        EXPECT_EQ(hi, 0) << gap;
    }
    // Attempts planned at 500, 700, 900, ... ms: a port back at 600 costs
    // one dot, at 1,000 three.
    for (int k = 0; k < 10; ++k) {
        for (int off : {-20, 0, 20}) {
            DotRange(600 + 200 * k + off, &lo, &hi);
            EXPECT_EQ(hi, k + 1) << k;
            // Each attempt may come a wake-up later than the one before:
            // after the first, the port may be found one attempt sooner.
            EXPECT_GE(lo, k) << k;
            EXPECT_LE(lo, k + 1) << k;
            if (k == 0) {
                EXPECT_EQ(lo, 1);
            }
            if (k >= 3) {
                EXPECT_EQ(lo, k) << k;
            }
        }
    }
    DotRange(700, &lo, &hi);  // on an attempt: either
    EXPECT_EQ(lo, 1);
    EXPECT_EQ(hi, 2);
    DotRange(500, &lo, &hi);
    EXPECT_EQ(lo, 0);
    EXPECT_EQ(hi, 1);
    // Seen on a loaded machine: 8 dots where 9 were planned.
    DotRange(2196, &lo, &hi);
    EXPECT_EQ(lo, 8);
    EXPECT_EQ(hi, 9);
}

TEST(ChaosExpect, TheDefaultTargetGivesTheEndToEndCasesText) {
    std::vector<int> counts = {0, 1, 2, 0, 3, 1, 0, 2, 1};
    Expectation e = Expect(Plain(counts), kPort, "fw.txt", 1);
    EXPECT_EQ(Output(e, 0), WithPort(Head() + Handshake() + Progress(counts, 9) + Done()));
    EXPECT_EQ(e.dotsMin, 0);
    EXPECT_EQ(e.dotsMax, 0);
    EXPECT_EQ(e.status, 0);
    EXPECT_EQ(e.conn1, "BOOT\r\n");
    EXPECT_EQ(e.conn2, Records(counts));
    EXPECT_EQ(e.simResult, "ok");
    EXPECT_EQ(e.opens, 2);
    EXPECT_TRUE(e.problem.empty());
    // 100 ms, a second's silence after the reply, 500 ms, 20 ms settle and
    // a second after the greeting: 2.62 s of waits.
    EXPECT_NEAR(e.waitSeconds, 2.62, 1e-9);
    EXPECT_LT(e.minSeconds, 2.62);
    EXPECT_GT(e.maxSeconds, 2.62 + 0.5);
    EXPECT_LT(e.maxSeconds, 2.62 + 1);
}

TEST(ChaosExpect, EachRecordFaultStopsThereWithItsMessageAndWireBytes) {
    std::vector<int> counts = {0, 1, 0};
    const std::string image = Records(counts);
    const std::string head = WithPort(Head() + Handshake());
    Session s = Plain(counts);
    s.faultRecord = 2;

    s.fault = StatusFault::kCode;
    s.faultCode = 255;
    Expectation e = Expect(s, kPort, "fw.txt", 1);
    EXPECT_EQ(Output(e, 0), head + Progress(counts, 2) + "\nError. Error code 255.\n" + kPause);
    EXPECT_EQ(e.conn2, image.substr(0, 26));
    EXPECT_EQ(e.simResult, "fail status 2 255");
    EXPECT_EQ(e.status, 255);

    s.fault = StatusFault::kSilent;
    e = Expect(s, kPort, "fw.txt", 1);
    EXPECT_EQ(Output(e, 0), head + Progress(counts, 2) + WithPort(NotResponding()));
    EXPECT_EQ(e.conn2, image.substr(0, 26));
    EXPECT_EQ(e.simResult, "fail silent 2");
    EXPECT_NEAR(e.waitSeconds, 2.62 + 1, 1e-9);  // the status wait

    s.fault = StatusFault::kLateOver;
    s.faultLateMs = 1500;
    e = Expect(s, kPort, "fw.txt", 1);
    EXPECT_EQ(e.simResult, "fail closed-before-status 2");
    EXPECT_EQ(e.conn2, image.substr(0, 26));

    // The target takes half of record 2 (21 bytes: 10), then drops its port.
    s.fault = StatusFault::kVanish;
    e = Expect(s, kPort, "fw.txt", 1);
    EXPECT_EQ(Output(e, 0), head + Progress(counts, 2) + WithPort(NotResponding()));
    EXPECT_EQ(e.conn2, image.substr(0, 5 + 10));
    EXPECT_EQ(e.simResult, "fail vanished");

    // Late statuses inside the window only add their time.
    s.fault = StatusFault::kNone;
    s.lateMs[1] = 600;
    s.lateMs[3] = 700;
    e = Expect(s, kPort, "fw.txt", 1);
    EXPECT_EQ(e.conn2, image);
    EXPECT_NEAR(e.waitSeconds, 2.62 + 1.3, 1e-9);
}

TEST(ChaosExpect, GreetingsAreJudgedByWhatTheToolHears) {
    Session s = Plain({0});
    const std::string trigger = WithPort(Head() + Trigger());
    const std::string failed = kPort + " opened.\n";

    // Counted in full, shown up to 1,023 bytes.
    s.greeting.bytes = std::string(1099, 'g') + "+";
    Expectation e = Expect(s, kPort, "fw.txt", 1);
    EXPECT_EQ(e.before, trigger);
    EXPECT_NE(e.after.find(" 1100: " + std::string(1023, 'g') + "\r"), std::string::npos);
    EXPECT_EQ(e.status, 0);

    // A pause of over a second cuts it: "AB" is refused while "C+" waits.
    s.greeting = Paced("ABC+", {0, 1500});
    e = Expect(s, kPort, "fw.txt", 1);
    EXPECT_EQ(e.after, failed + WithPort(Echo("AB") + LoaderFailed()));
    EXPECT_EQ(e.simResult, "fail closed-during-greeting");
    EXPECT_TRUE(e.conn2.empty());

    // Cut right after a "+", the rest would be read as a status: no single
    // outcome, so the drawing must never make it.
    s.greeting = Paced("AB+C+", {0, 0, 1500});
    EXPECT_FALSE(Expect(s, kPort, "fw.txt", 1).problem.empty());

    s.greeting = Paced("LOADER v1.0+", {});
    s.settleMs = 1500;
    e = Expect(s, kPort, "fw.txt", 1);
    EXPECT_EQ(e.after, failed + WithPort(LoaderFailed()));
    EXPECT_EQ(e.simResult, "fail closed-before-greeting");

    // Half a greeting that ends in "+" is accepted; the record then finds
    // the port gone.
    s.settleMs = 20;
    s.greeting = Paced("OK+OK+", {});
    s.greeting.vanish = true;
    e = Expect(s, kPort, "fw.txt", 1);
    EXPECT_EQ(e.after, failed + WithPort(Echo("OK+") + Progress({0}, 1) + NotResponding()));
    EXPECT_TRUE(e.conn2.empty());
    EXPECT_EQ(e.simResult, "fail vanished");

    // A complete greeting that is refused: the target waited for records.
    s.greeting = Paced("+OK", {});
    e = Expect(s, kPort, "fw.txt", 1);
    EXPECT_EQ(e.simResult, "fail short 0 of 5");
}

TEST(ChaosExpect, AVanishedReplyReturnsAfterItsOwnDelayACutOneIsAnOrdinaryReset) {
    Session s = Plain({0});
    s.reply = Paced("OKAY", {});
    s.reply.vanish = true;
    s.reappearMs = 2000;
    s.resetGapMs = 0;
    Expectation e = Expect(s, kPort, "fw.txt", 1);
    EXPECT_EQ(e.before, WithPort(Head() + "{PORT} opened.\n" + Echo("OK") + "{PORT} closed.\n"));
    EXPECT_EQ(e.dotsMin, 7);  // attempts at 1,900 and 2,100 ms (planned)
    EXPECT_EQ(e.dotsMax, 8);

    // A pause over a second within the half: the tool closes first.
    s.reply = Paced("OKAY", {1500});
    s.reply.vanish = true;
    e = Expect(s, kPort, "fw.txt", 1);
    EXPECT_EQ(e.before, WithPort(Head() + "{PORT} opened.\n" + Echo("O") + "{PORT} closed.\n"));
    EXPECT_EQ(e.dotsMax, 0);
}

TEST(ChaosExpect, RefusedImagesNameTheirFaultAndTouchNoPort) {
    Session s;
    s.imageKind = ImageKind::kTruncated;
    s.blockCounts = {0, 2};
    s.cutBlockCount = 1;
    s.cutBytes = 7;
    Expectation e = Expect(s, kPort, "fw.txt", 1);
    EXPECT_EQ(Output(e, 0), WithPort(Head()) +
                                "Error: File 'fw.txt' is truncated: the record at offset 42 needs 21 bytes, "
                                "7 remain.\n" + kPause);
    EXPECT_EQ(e.opens, 0);
    EXPECT_TRUE(e.conn1.empty());
    EXPECT_TRUE(e.conn2.empty());
    s.imageKind = ImageKind::kTooLarge;
    EXPECT_NE(Expect(s, kPort, "f", 1).before.find("Error: File 'f' holds more than 131072 bytes.\n"),
              std::string::npos);
}

TEST(ChaosDraw, EverySessionHasOneRightOutcomeAndAnImageThatDecodesToIt) {
    std::set<std::string> outcomes;
    for (uint64_t seed = 1; seed <= 1500; ++seed) {
        Session s = DrawSession(seed);
        Expectation e = Expect(s, kPort, "fw.txt", 1);
        ASSERT_EQ(e.problem, "") << "seed " << seed;
        outcomes.insert(e.outcome);
        if (s.imageKind == ImageKind::kUnreadable || s.imageKind == ImageKind::kNoData) continue;

        std::vector<unsigned char> image(kImageCapacity);
        HexDecoder d;
        FeedHex(&d, reinterpret_cast<const unsigned char*>(s.fileText.data()), s.fileText.size(), image.data(),
                image.size());
        FinishHex(&d, image.data(), image.size());
        if (s.imageKind == ImageKind::kTooLarge) {
            ASSERT_TRUE(d.overflow) << "seed " << seed;
            continue;
        }
        ASSERT_EQ(std::string(image.begin(), image.begin() + d.length), s.image) << "seed " << seed;
        RecordFault fault;
        bool whole = CheckRecords(image.data(), d.length, &fault);
        ASSERT_EQ(whole, s.imageKind == ImageKind::kValid) << "seed " << seed;
        if (s.shape == "the full 131072 bytes") {
            ASSERT_EQ(s.image.size(), 131072u);
        }
        if (!whole) {
            ASSERT_EQ(fault.remain, s.cutBytes);
        }
    }
    // Every kind of ending is drawn, so a long run reaches each of them:
    // four refused images, five loaders that do not start, six transfers.
    std::string drawn;
    for (const std::string& o : outcomes) drawn += o + "\n";
    EXPECT_EQ(outcomes.size(), 15u) << drawn;
}

TEST(ChaosDraw, ASeedAlwaysGivesTheSameSession) {
    for (uint64_t seed : {1ull, 77ull, 123456789ull}) {
        Session a = DrawSession(seed), b = DrawSession(seed);
        EXPECT_EQ(a.fileText, b.fileText);
        EXPECT_EQ(SimArguments(a, "e", 9), SimArguments(b, "e", 9));
    }
    EXPECT_NE(DrawSession(1).fileText, DrawSession(2).fileText);
}

TEST(ChaosHexText, SingleDigitsStandAloneAndNotesAfterTheImageAreIgnored) {
    // Whatever the layout, the text decodes to the bytes.
    const std::string bytes("\x00\x0f\x10\xff\x05", 5);
    for (uint64_t style = 0; style < 200; ++style) {
        std::string text = HexText(bytes, style);
        unsigned char image[16];
        HexDecoder d;
        FeedHex(&d, reinterpret_cast<const unsigned char*>(text.data()), text.size(), image, sizeof image);
        FinishHex(&d, image, sizeof image);
        ASSERT_EQ(std::string(reinterpret_cast<char*>(image), d.length), bytes) << text;
    }
}

TEST(ChaosJudge, OutputWithTheDotsInRangeMatchesOutsideItDoesNot) {
    Expectation e;
    e.before = "closed.\n";
    e.after = "opened.\n";
    e.dotsMin = 2;
    e.dotsMax = 3;
    EXPECT_EQ(CompareOutput(e, "closed.\n..opened.\n"), "");
    EXPECT_EQ(CompareOutput(e, "closed.\n...opened.\n"), "");
    EXPECT_NE(CompareOutput(e, "closed.\n.opened.\n"), "");
    EXPECT_NE(CompareOutput(e, "closed.\n....opened.\n"), "");
    EXPECT_NE(CompareOutput(e, "closed.\n..opened.\nmore"), "");
    EXPECT_NE(CompareOutput(e, "closed\n..opened.\n"), "");
}

TEST(ChaosJudge, ReadsTheWireBytesAndTheResultFromTheSimLog) {
    const std::string log = "10 publish 1 /dev/pts/3\n20 open 1\n30 rx 1 424f4f540d0a\n40 open 2\n"
                            "50 rx 2\n60 result fail status 3 255\n";
    EXPECT_EQ(ReceivedOn(log, 1), "BOOT\r\n");
    EXPECT_EQ(ReceivedOn(log, 2), "");
    EXPECT_EQ(SimResult(log), "fail status 3 255");

    Expectation e = Expect(Plain({0}), kPort, "fw.txt", 1);
    RunResult r;
    r.simStarted = true;
    r.out = Output(e, 0);
    r.status = 0;
    r.seconds = 3;
    r.received = Records({0});
    r.simLog = "1 open 1\n2 rx 1 424f4f540d0a\n3 open 2\n4 result ok\n";
    r.simStatus = 0;
    EXPECT_TRUE(Judge(e, r, "").empty());
    r.simLog = "1 open 1\n2 rx 1 424f4f540d0a0d\n3 open 2\n4 result ok\n";  // a byte too many
    ASSERT_EQ(Judge(e, r, "").size(), 1u);
    EXPECT_EQ(Judge(e, r, "")[0].what, "wire 1");
}

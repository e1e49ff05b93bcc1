// End-to-end cases of faults of the target and the host during a transfer.
#include "CaseText.h"
#include "Cases.h"

std::vector<E2ECase> FaultCases() {
    std::vector<E2ECase> cases;
    // The target's faults during the transfer.
    {
        std::vector<int> counts = {0, 1, 0};
        E2ECase c;
        c.image = Hex(Records(counts));
        c.name = "ErrorCode255OnTheMiddleRecord";
        c.simArgs = {"--status", "2:255"};
        c.received = Records({0, 1});
        c.expected = Head() + Handshake() + Progress(counts, 2) + "\nError. Error code 255.\n{PAUSE}";
        cases.push_back(c);
        c.name = "ErrorCode1OnTheFirstRecord";
        c.simArgs = {"--status", "1:1"};
        c.received = Records({0});
        c.expected = Head() + Handshake() + Progress(counts, 1) + "\nError. Error code 1.\n{PAUSE}";
        cases.push_back(c);
        c.name = "SilenceOnARecord";
        c.simArgs = {"--silent", "2"};
        c.received = Records({0, 1});
        c.expected = Head() + Handshake() + Progress(counts, 2) + NotResponding();
        // The handshake's silences take about 2.6 s, the status wait 1 s.
        c.minSeconds = 3.2;
        c.maxSeconds = 5.5;
        cases.push_back(c);
        c.name = "StatusLaterThanASecond";
        c.simArgs = {"--late", "1:1600"};
        c.received = Records({0});
        c.expected = Head() + Handshake() + Progress(counts, 1) + NotResponding();
        cases.push_back(c);
        c.name = "TargetVanishesMidRecord";
        c.simArgs = {"--vanish", "2"};
        c.expected = Head() + Handshake() + Progress(counts, 2) + NotResponding();
        // Record 1, then whatever part of record 2 reached the target.
        c.received = Records({0});
        c.receivedIsPrefix = true;
        c.minSeconds = 0;
        c.maxSeconds = 6;
        c.wineSkip = "Wine keeps returning empty reads on a vanished pty instead of failing them";
        cases.push_back(c);
    }
    return cases;
}

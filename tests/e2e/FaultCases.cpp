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
        // Under Wine the status read on the vanished pty returns nothing
        // after its time-out instead of failing at once: the same outcome.
        cases.push_back(c);
    }
    {
        // A status that comes late but inside the second the tool waits.
        std::vector<int> counts = {0, 1};
        E2ECase c;
        c.name = "StatusLateWithinTheSecond";
        c.simArgs = {"--late", "2:700"};
        c.received = Records(counts);
        c.image = Hex(c.received);
        c.expected = Head() + Handshake() + Progress(counts, 2) + Done();
        c.status = 0;
        cases.push_back(c);
    }
    // The target's port vanishes in the handshake.
    {
        // Half the trigger reply, then the port is gone for two seconds: the
        // re-open loop shows its failed attempts (at least three dots) and
        // the run completes on the port that came back under the same path.
        std::vector<int> counts = {1, 0};
        E2ECase c;
        c.name = "TargetVanishesInTheTriggerReplyAndComesBack";
        c.simArgs = {"--vanish-in-reply", "--reappear-after", "2000"};
        c.received = Records(counts);
        c.image = Hex(c.received);
        c.expected = Head() + "{PORT} opened.\n" + Echo("OK") + "{PORT} closed.\n..{DOTS}{PORT} opened.\n" +
                     Echo("LOADER v1.0+") + Progress(counts, 2) + Done();
        c.status = 0;
        c.opens = 2;
        c.minSeconds = 2;
        cases.push_back(c);
    }
    {
        // Half the greeting ("LOADER"), then the port is gone for good.
        E2ECase c;
        c.name = "TargetVanishesInTheGreeting";
        c.simArgs = {"--vanish-in-greeting"};
        c.image = Hex(Records({0}));
        c.expected = Head() + Trigger() + "{PORT} opened.\n" + Echo("LOADER") + LoaderFailed();
        c.received = "";
        c.opens = 2;
        c.maxSeconds = 4;
        c.socketSkip = "over socket://, inside TLS or through sredird a port that vanishes within 100 ms of its open looks like a server "
                       "whose device is missing, and the tool keeps trying (the network tests run this case "
                       "with the greeting later)";
        cases.push_back(c);
    }
    return cases;
}

// The end-to-end cases: command-line errors, image checks, the handshake and
// successful transfers, each with its whole console output, exit status and
// the bytes the target received.
#include "Cases.h"
#include "CaseText.h"

#include <cstdio>


const std::string& Head() {
    static const std::string text = "tessan v1.0 - (c) 2026 The tessan developers\n\n";
    return text;
}
const std::string& Usage() {
    static const std::string text = "usage: tessan <filename.ext> [-COMx] \n\n"
    "  filename.ext    File containing flash upgrade buffer.\n"
    "  -COM x          Communications port number, default 1 (COM1)\n\n";
    return text;
}

// What the console shows of bytes received in the handshake: each byte as
// two hex digits and a blank, then the count and the text up to any zero
// (of at most 1,023 bytes: the reply area keeps room for its terminator).
std::string Echo(const std::string& bytes) {
    std::string out;
    char hex[4];
    for (unsigned char c : bytes) {
        snprintf(hex, sizeof hex, "%02X ", c);
        out += hex;
    }
    return out + std::to_string(bytes.size()) + ": " + std::string(bytes.substr(0, 1023).c_str());
}

// The default target: "OK\r\n" to the trigger, greeting "LOADER v1.0+".
const std::string& Trigger() {
    static const std::string text = "{PORT} opened.\n" + Echo("OK\r\n") + "{PORT} closed.\n";
    return text;
}
const std::string& Handshake() {
    static const std::string text = Trigger() + "{PORT} opened.\n" + Echo("LOADER v1.0+");
    return text;
}

// An image of records with the given block counts; every byte after a
// block count differs from its neighbours, so a shifted or lost byte shows.
std::string Records(const std::vector<int>& blockCounts) {
    std::string image;
    unsigned seed = 7;
    for (int n : blockCounts) {
        image += static_cast<char>(n);
        for (int i = 0; i < 16 * n + 4; ++i) {
            seed = seed * 1103515245u + 12345u;
            image += static_cast<char>(seed >> 16);
        }
    }
    return image;
}

// The image as hex text, 16 pairs a line.
std::string Hex(const std::string& bytes) {
    std::string text;
    char pair[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        snprintf(pair, sizeof pair, "%02x", static_cast<unsigned char>(bytes[i]));
        text += pair;
        text += (i % 16 == 15) ? "\n" : " ";
    }
    return text;
}

// The progress lines shown for each record sent, `sent` of them, of an
// image made of records with the given block counts.
std::string Progress(const std::vector<int>& blockCounts, size_t sent) {
    static const char spinner[] = "--\\\\||//";
    unsigned length = 0;
    for (int n : blockCounts) length += 16u * static_cast<unsigned>(n) + 5u;
    std::string out;
    unsigned position = 0;
    for (size_t i = 0; i < sent; ++i) {
        char line[96];
        snprintf(line, sizeof line, "\r                        \nTransferring.. %c %u%% done.", spinner[i % 8],
                 position * 100u / length);
        out += line;
        position += 16u * static_cast<unsigned>(blockCounts[i]) + 5u;
    }
    return out;
}

const std::string& Done() {
    static const std::string text = "\rTransferring.. 100% done.  \nTarget updated successfully.\n{PAUSE}";
    return text;
}
const std::string& NotResponding() {
    static const std::string text = "\nFailed: Target is not responding.\n{PAUSE}";
    return text;
}
const std::string& LoaderFailed() {
    static const std::string text = "\nLoader start failed.\n{PAUSE}";
    return text;
}

// A successful transfer of one 5-byte record, after the console shows
// `dialogue` (everything from the first "opened." line to the greeting's text).
static E2ECase OneRecordSuccess(const std::string& name, const std::vector<std::string>& simArgs,
                                const std::string& dialogue) {
    E2ECase c;
    c.name = name;
    c.simArgs = simArgs;
    c.received = Records({0});
    c.image = Hex(c.received);
    c.expected = Head() + dialogue + Progress({0}, 1) + Done();
    c.status = 0;
    return c;
}

// Cases in which the tool stops before any port: the target must never see an open.
static E2ECase ImageRefused(const std::string& name, const std::string& image, const std::string& message) {
    E2ECase c;
    c.name = name;
    c.image = image;
    c.expected = Head() + message + "{PAUSE}";
    c.opens = 0;
    c.maxSeconds = 2;
    return c;
}


std::vector<E2ECase> BasicCases() {
    std::vector<E2ECase> cases;

    // The command line, with no target at all.
    {
        E2ECase c;
        c.name = "NoArguments";
        c.withSim = false;
        c.writeImage = false;
        c.toolArgs = {};
        c.expected = Head() + Usage() + "{PAUSE}";
        c.maxSeconds = 2;
        cases.push_back(c);
        c.name = "TwoFileNames";
        c.toolArgs = {"a.txt", "-COM", "x", "b.txt"};
        cases.push_back(c);
        c.name = "TrailingComIsASecondFileName";
        c.toolArgs = {"a.txt", "-COM"};
        cases.push_back(c);
        c.name = "ComValueGluedToTheOption";
        c.toolArgs = {"-COM3", "a.txt"};
        cases.push_back(c);
        c.name = "OnlyComPairs";
        c.toolArgs = {"-COM", "x"};
        cases.push_back(c);
        c.name = "MissingImageFile";
        c.toolArgs = {"absent.txt", "-COM", "x"};
        c.expected = Head() + "Error: File 'absent.txt' not found.\n{PAUSE}";
        cases.push_back(c);
        c.name = "LoneComIsTheFileName";
        c.toolArgs = {"-COM"};
        c.expected = Head() + "Error: File '-COM' not found.\n{PAUSE}";
        cases.push_back(c);
    }
    {
        E2ECase c;
        c.name = "PortThatDoesNotExist";
        c.withSim = false;
        c.image = Hex(Records({0}));
        c.toolArgs = {"-COM", "tessan-absent", "fw.txt"};
        c.expected = Head() + "Error: COMtessan-absent in use or does not exist.\n{PAUSE}";
        c.maxSeconds = 2;
        cases.push_back(c);
        c.name = "FormedPortNameIsCut";
        c.toolArgs = {"fw.txt", "-COM", "abcdefghijklmnopqrstuvwxyz"};
        c.expected = Head() + "Error: COMabcdefghijklmnop in use or does not exist.\n{PAUSE}";
        cases.push_back(c);
    }

    // Image files the tool refuses before it touches the port.
    cases.push_back(ImageRefused("EmptyImage", "", "Error: File 'fw.txt' holds no image data.\n"));
    cases.push_back(ImageRefused("BinaryImage", std::string("\x7f" "ELF\x02\x01\x01\0\0\0", 10),
                                 "Error: File 'fw.txt' holds no image data.\n"));
    cases.push_back(ImageRefused("TruncatedImage", Hex(Records({0, 2}).substr(0, 5 + 30)),
                                 "Error: File 'fw.txt' is truncated: the record at offset 5 needs 37 bytes, "
                                 "30 remain.\n"));
    {
        std::string big = Hex(std::string(32, '\0'));
        std::string text;
        for (int i = 0; i < 131072 / 32; ++i) text += big;
        cases.push_back(ImageRefused("ImageOfExactlyTheCapacityAndOneMore", text + "00",
                                     "Error: File 'fw.txt' holds more than 131072 bytes.\n"));
    }
    {
        E2ECase c;
        c.name = "ImageIsADirectory";
        c.writeImage = false;
        c.toolArgs = {".", "-COM", "{PORT}"};
        c.expected = Head() + "Error: File '.' could not be read.\n{PAUSE}";
        c.opens = 0;
        c.maxSeconds = 2;
        c.wineSkip = "Windows cannot open a folder as a file (the tool reports it as not found)";
        cases.push_back(c);
    }

    // Successful transfers.
    {
        // Nine records: the spinner goes round once and starts again.
        std::vector<int> counts = {0, 1, 2, 0, 3, 1, 0, 2, 1};
        E2ECase c;
        c.name = "NineRecords";
        c.received = Records(counts);
        c.image = Hex(c.received);
        c.expected = Head() + Handshake() + Progress(counts, 9) + Done();
        c.status = 0;
        c.opens = 2;
        cases.push_back(c);
    }
    {
        E2ECase c;
        c.name = "ThreeRecordsShowZeroThirtyThreeSixtySix";
        c.received = Records({1, 1, 1});
        c.image = Hex(c.received);
        c.expected = Head() + Handshake() +
                     "\r                        \nTransferring.. - 0% done."
                     "\r                        \nTransferring.. - 33% done."
                     "\r                        \nTransferring.. \\ 66% done." +
                     Done();
        c.status = 0;
        cases.push_back(c);
    }
    {
        // The largest record, and every byte value in it.
        std::string record(1, '\xff');
        for (int i = 0; i < 4084; ++i) record += static_cast<char>(i % 256);
        E2ECase c;
        c.name = "LargestRecord";
        c.received = record;
        c.image = Hex(record);
        c.expected = Head() + Handshake() + Progress({255}, 1) + Done();
        c.status = 0;
        cases.push_back(c);
    }
    {
        // The text forms an image file may take: either case, runs cut into
        // pairs, single digits, CR LF line ends, tabs, and trailing text that
        // is not hex (ignored).
        E2ECase c;
        c.name = "HexTextVariants";
        c.image = "0 1 2 3 4\r\n01\tA0a1A2a3\n b4B5c6C7d8D9eAEbFcfDfe0F 1f 2 3 4\r\n"
                  "0 1 2 3 4 ; end of image\n99 99";
        c.received = std::string("\x00\x01\x02\x03\x04\x01\xa0\xa1\xa2\xa3\xb4\xb5\xc6\xc7\xd8\xd9\xea"
                                 "\xeb\xfc\xfd\xfe\x0f\x1f\x02\x03\x04\x00\x01\x02\x03\x04",
                                 31);
        c.expected = Head() + Handshake() + Progress({0, 1, 0}, 3) + Done();
        c.status = 0;
        cases.push_back(c);
    }
    cases.push_back(OneRecordSuccess("NoAnswerToTheTrigger", {"--no-reply"},
        "{PORT} opened.\n{PORT} closed.\n{PORT} opened.\n" + Echo("LOADER v1.0+")));
    cases.push_back(OneRecordSuccess("LongResetGapShowsDots", {"--gap", "1500"},
        Trigger() + "{DOTS}{PORT} opened.\n" + Echo("LOADER v1.0+")));
    // A zero byte ends the text shown, not the greeting: its last byte
    // is still the "+".
    cases.push_back(OneRecordSuccess("GreetingWithAZeroByte", {"--greeting", "AB\\0CD+"},
        Trigger() + "{PORT} opened.\n" + Echo(std::string("AB\0CD+", 6))));
    {
        // Every byte value reaches the tool unchanged: no flow-control,
        // line-end or control-character handling on the way in. The text
        // shown is empty, as the reply starts with a zero byte.
        std::string reply, escaped;
        char escape[8];
        for (int i = 0; i < 256; ++i) {
            reply += static_cast<char>(i);
            snprintf(escape, sizeof escape, "\\x%02x", i);
            escaped += escape;
        }
        cases.push_back(OneRecordSuccess("ReplyOfEveryByteValue", {"--reply", escaped},
                                         "{PORT} opened.\n" + Echo(reply) + "{PORT} closed.\n{PORT} opened.\n" +
                                             Echo("LOADER v1.0+")));
    }
    {
        // Longer greetings are counted in full (no wrap at 256); the text
        // shown stops at 1,023 bytes.
        for (size_t length : {256u, 300u, 1100u}) {
            std::string greeting;
            for (size_t i = 0; i + 1 < length; ++i) greeting += static_cast<char>('a' + i % 26);
            greeting += '+';
            cases.push_back(OneRecordSuccess("GreetingOf" + std::to_string(length) + "Bytes",
                                             {"--greeting", greeting},
                                             Trigger() + "{PORT} opened.\n" + Echo(greeting)));
        }
    }
    cases.push_back(OneRecordSuccess("ChattyGreetingWithShortGaps", {"--greeting", "RDY+", "--byte-gap", "300"},
        "{PORT} opened.\n" + Echo("OK\r\n") + "{PORT} closed.\n{PORT} opened.\n" + Echo("RDY+")));

    // The loader does not start.
    {
        E2ECase c;
        c.name = "NoGreeting";
        c.simArgs = {"--no-greeting"};
        c.image = Hex(Records({0}));
        c.expected = Head() + Trigger() + "{PORT} opened.\n" + LoaderFailed();
        c.received = "";
        c.opens = 2;
        cases.push_back(c);
        c.name = "GreetingWithThePlusFirst";
        c.simArgs = {"--greeting", "+OK"};
        c.expected = Head() + Trigger() + "{PORT} opened.\n" + Echo("+OK") + LoaderFailed();
        cases.push_back(c);
    }

    return cases;
}

std::vector<E2ECase> AllCases() {
    std::vector<E2ECase> cases = BasicCases();
    std::vector<E2ECase> faults = FaultCases();
    cases.insert(cases.end(), faults.begin(), faults.end());
    return cases;
}

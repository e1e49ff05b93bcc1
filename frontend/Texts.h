// The tool's fixed console texts: banner and usage.
#pragma once

// The banner reads as it did in the first release, whatever the package's
// version: scripts and test rigs match this line byte for byte, so it is
// part of the tool's output format rather than a version report.
// puts() adds one more line feed, so a blank line follows the banner.
const char kBanner[] = "tessan v1.0 - (c) 2026 The tessan developers\n";

const char kUsage[] =
    "usage: tessan <filename.ext> [-COMx] \n"
    "\n"
    "  filename.ext    File containing flash upgrade buffer.\n"
    "  -COM x          Communications port number, default 1 (COM1)\n";

// The tool's fixed console texts: banner and usage.
#pragma once

#ifndef TESSAN_VERSION
#define TESSAN_VERSION "1.0"
#endif

// puts() adds one more line feed, so a blank line follows the banner.
const char kBanner[] = "tessan v" TESSAN_VERSION " - (c) 2026 The tessan developers\n";

const char kUsage[] =
    "usage: tessan <filename.ext> [-COMx] \n"
    "\n"
    "  filename.ext    File containing flash upgrade buffer.\n"
    "  -COM x          Communications port number, default 1 (COM1)\n";

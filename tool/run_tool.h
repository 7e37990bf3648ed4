// The whole run of the tool: arguments, files, figures, filtering, result, exit status.
#pragma once

// Process exit statuses; the shell sees them modulo 256 (-1 is 255, ... -8 is 248).
enum ExitStatus : int {
    kStatusOk = 0,
    kStatusCannotOpenInput = -1,
    kStatusCannotCreateResult = -2,
    kStatusUsageOrReadError = -3,
    kStatusNot24Bit = -4,
    kStatusBadHeaderOrSize = -5,
    kStatusMatrixTooDark = -6,
    kStatusOutOfMemory = -7,
    kStatusWriteFailed = -8,
};

[[nodiscard]] int run_tool(int argc, char** argv);

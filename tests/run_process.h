// Runs a program in a given directory and collects its standard output and exit status.
#pragma once

#include <string>
#include <vector>

struct ProcessResult {
    std::string out;     // everything written to standard output
    int exit_code = -1;  // as the shell sees it (0..255), or -1 if it did not exit normally
};

ProcessResult run_process(const std::string& program, const std::vector<std::string>& args,
                          const std::string& directory);

// A fresh directory under the system's temporary directory, removed with its contents.
struct TempDir {
    std::string path;
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string file(const std::string& name) const { return path + "/" + name; }
};

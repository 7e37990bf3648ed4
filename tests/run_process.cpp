// fork/exec with a pipe on standard output; the child's directory is set before exec.
#include "tests/run_process.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>

ProcessResult run_process(const std::string& program, const std::vector<std::string>& args,
                          const std::string& directory) {
    ProcessResult result;
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) return result;
    const pid_t pid = fork();
    if (pid < 0) return result;
    if (pid == 0) {
        dup2(pipe_fds[1], STDOUT_FILENO);
        close(pipe_fds[0]);
        close(pipe_fds[1]);
        if (chdir(directory.c_str()) != 0) _exit(127);
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(program.c_str()));
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(pipe_fds[1]);
    char buffer[4096];
    for (;;) {
        const ssize_t got = read(pipe_fds[0], buffer, sizeof buffer);
        if (got > 0) {
            result.out.append(buffer, static_cast<std::size_t>(got));
        } else if (got == 0 || errno != EINTR) {
            break;
        }
    }
    close(pipe_fds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
    return result;
}

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "quivel-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) path = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    if (!path.empty()) std::filesystem::remove_all(path, ignored);
}

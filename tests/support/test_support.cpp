// Helpers shared by the tests: files, temporary folders and child processes.
#include "support/test_support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace bptest {

std::string data_path(const std::string &name)
{
    return std::string(BPNET_TEST_DATA) + "/" + name;
}

std::string bin_path(const std::string &relative)
{
    return std::string(BPNET_BIN_DIR) + "/" + relative;
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_file(const std::string &path, const std::string &contents)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << contents;
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

std::string make_temp_dir()
{
    std::string templ = (std::filesystem::temp_directory_path() / "bpnet-test-XXXXXX").string();
    if (mkdtemp(templ.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    return templ;
}

int scaled(int n)
{
    const char *scale = std::getenv("BPNET_TEST_SCALE");
    const long factor = scale != nullptr ? std::strtol(scale, nullptr, 10) : 1;
    return factor > 1 ? static_cast<int>(std::min<long>(factor * n, 1L << 24)) : n;
}

void remove_tree(const std::string &path)
{
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

RunResult run(const std::vector<std::string> &argv, const std::string &cwd, const std::string &input,
              const RunLimits &limits)
{
    int in_pipe[2], out_pipe[2], err_pipe[2];
    // Close-on-exec, so that a child started from another thread at the same time cannot hold
    // these pipes open; dup2 in the child clears the flag on its standard streams.
    if (pipe2(in_pipe, O_CLOEXEC) != 0 || pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        dup2(in_pipe[0], 0);
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        for (int fd : {in_pipe[0], in_pipe[1], out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]})
            close(fd);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0)
            _exit(126);
        if (!limits.stdout_file.empty()) {
            const int fd = open(limits.stdout_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd < 0 || dup2(fd, 1) < 0)
                _exit(126);
            close(fd);
        }
        if (limits.file_size >= 0) {
            const rlimit limit = {static_cast<rlim_t>(limits.file_size), static_cast<rlim_t>(limits.file_size)};
            signal(SIGXFSZ, SIG_DFL);
            if (setrlimit(RLIMIT_FSIZE, &limit) != 0)
                _exit(126);
        }
        std::vector<char *> args;
        for (const std::string &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(in_pipe[0]);
    close(out_pipe[1]);
    close(err_pipe[1]);
    // Feed standard input and drain both outputs together so that no pipe fills up.
    signal(SIGPIPE, SIG_IGN);
    size_t written = 0;
    int in_fd = in_pipe[1];
    if (input.empty()) {
        close(in_fd);
        in_fd = -1;
    }
    RunResult result;
    bool out_open = true, err_open = true;
    char buf[65536];
    while (out_open || err_open) {
        pollfd fds[3];
        int nfds = 0;
        int out_i = -1, err_i = -1, in_i = -1;
        if (out_open) { fds[nfds] = {out_pipe[0], POLLIN, 0}; out_i = nfds++; }
        if (err_open) { fds[nfds] = {err_pipe[0], POLLIN, 0}; err_i = nfds++; }
        if (in_fd >= 0) { fds[nfds] = {in_fd, POLLOUT, 0}; in_i = nfds++; }
        if (poll(fds, nfds, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (out_i >= 0 && fds[out_i].revents) {
            ssize_t n = read(out_pipe[0], buf, sizeof buf);
            if (n <= 0) out_open = false; else result.out.append(buf, static_cast<size_t>(n));
        }
        if (err_i >= 0 && fds[err_i].revents) {
            ssize_t n = read(err_pipe[0], buf, sizeof buf);
            if (n <= 0) err_open = false; else result.err.append(buf, static_cast<size_t>(n));
        }
        if (in_i >= 0 && fds[in_i].revents) {
            ssize_t n = write(in_fd, input.data() + written, input.size() - written);
            if (n > 0)
                written += static_cast<size_t>(n);
            if (n <= 0 || written == input.size()) {
                close(in_fd);
                in_fd = -1;
            }
        }
    }
    if (in_fd >= 0)
        close(in_fd);
    close(out_pipe[0]);
    close(err_pipe[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

std::string capture_stdout(const std::function<void()> &body)
{
    std::fflush(stdout);
    char path[] = "/tmp/bpnet-capture.XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0)
        throw std::runtime_error("cannot make a capture file");
    const int saved = dup(STDOUT_FILENO);
    dup2(fd, STDOUT_FILENO);
    body();
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    close(fd);
    std::string text = read_file(path);
    unlink(path);
    return text;
}

}  // namespace bptest

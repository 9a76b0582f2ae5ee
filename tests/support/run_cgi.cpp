#include "run_cgi.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

// Reads both pipes until they close, so a large response cannot block.
static void drain(int out_fd, int err_fd, std::string &out, std::string &err) {
    pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
    std::string *sinks[2] = {&out, &err};
    int open_count = 2;
    char chunk[65536];
    while (open_count > 0) {
        if (poll(fds, 2, -1) < 0) break;
        for (int i = 0; i < 2; i++) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
            ssize_t n = read(fds[i].fd, chunk, sizeof chunk);
            if (n > 0) {
                sinks[i]->append(chunk, (size_t)n);
                continue;
            }
            close(fds[i].fd);
            fds[i].fd = -1;
            open_count--;
        }
    }
}

cgi_result run_cgi(const std::string &program, const env_list &env,
                   const std::vector<std::string> &args) {
    cgi_result r;
    int out_pipe[2], err_pipe[2];
    if (pipe(out_pipe) || pipe(err_pipe)) return r;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, out_pipe[1], 1);
    posix_spawn_file_actions_adddup2(&fa, err_pipe[1], 2);
    posix_spawn_file_actions_addclose(&fa, out_pipe[0]);
    posix_spawn_file_actions_addclose(&fa, err_pipe[0]);
    std::vector<std::string> env_text, argv_text{program};
    for (const auto &kv : env) env_text.push_back(kv.first + "=" + kv.second);
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char *> envp, argv;
    for (std::string &s : env_text) envp.push_back(&s[0]);
    for (std::string &s : argv_text) argv.push_back(&s[0]);
    envp.push_back(nullptr);
    argv.push_back(nullptr);
    pid_t pid;
    int rc = posix_spawn(&pid, program.c_str(), &fa, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    close(out_pipe[1]);
    close(err_pipe[1]);
    if (rc == 0) drain(out_pipe[0], err_pipe[0], r.out, r.err);
    else close(out_pipe[0]), close(err_pipe[0]);
    int status = 0;
    if (rc == 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status)) r.status = WEXITSTATUS(status);
    return r;
}

std::string response_head(const std::string &out) {
    size_t end = out.find("\r\n\r\n");
    return end == std::string::npos ? out : out.substr(0, end + 4);
}

std::string response_body(const std::string &out) {
    size_t end = out.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : out.substr(end + 4);
}

temp_file::temp_file(const std::string &content) {
    char name[] = "/tmp/plugin_services_test_XXXXXX";
    int fd = mkstemp(name);
    path = name;
    if (fd < 0) return;
    if (!content.empty() && write(fd, content.data(), content.size()) < 0) path.clear();
    close(fd);
}

temp_file::~temp_file() {
    if (!path.empty()) unlink(path.c_str());
}

std::string temp_file::read() const {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string fixture_service(const std::string &name, const std::string &display, int state,
                            int pid, const std::string &start, const std::string &options) {
    std::string line = "service\t" + name + "\t" + display + "\t" + std::to_string(state) + "\t" +
                       std::to_string(pid) + "\t" + start;
    if (!options.empty()) line += "\t" + options;
    return line + "\n";
}

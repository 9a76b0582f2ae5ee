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

// A started process whose output pipes are still being read.
struct started_cgi {
    pid_t pid = -1;
    int fds[2] = {-1, -1};  // read ends of standard output and standard error
};

// Starts program with exactly the variables in env; pid stays -1 on failure.
static started_cgi start_cgi(const std::string &program, const env_list &env,
                             const std::vector<std::string> &args) {
    started_cgi p;
    int out_pipe[2], err_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC)) return p;
    if (pipe2(err_pipe, O_CLOEXEC)) {
        close(out_pipe[0]), close(out_pipe[1]);
        return p;
    }
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
    int rc = posix_spawn(&p.pid, program.c_str(), &fa, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    close(out_pipe[1]);
    close(err_pipe[1]);
    p.fds[0] = out_pipe[0];
    p.fds[1] = err_pipe[0];
    if (rc == 0) return p;
    close(p.fds[0]), close(p.fds[1]);
    p.pid = -1;
    return p;
}

// Reads every pipe of every process until all close, so no large response
// can block, then waits for each process.
static std::vector<cgi_result> drain_all(std::vector<started_cgi> &procs) {
    std::vector<cgi_result> results(procs.size());
    std::vector<pollfd> fds;
    std::vector<std::string *> sinks;
    for (size_t i = 0; i < procs.size(); i++) {
        if (procs[i].pid < 0) continue;
        fds.push_back({procs[i].fds[0], POLLIN, 0});
        sinks.push_back(&results[i].out);
        fds.push_back({procs[i].fds[1], POLLIN, 0});
        sinks.push_back(&results[i].err);
    }
    size_t open_count = fds.size();
    char chunk[65536];
    while (open_count > 0) {
        if (poll(fds.data(), fds.size(), -1) < 0) break;
        for (size_t i = 0; i < fds.size(); i++) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
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
    for (size_t i = 0; i < procs.size(); i++) {
        int status = 0;
        if (procs[i].pid >= 0 && waitpid(procs[i].pid, &status, 0) == procs[i].pid && WIFEXITED(status))
            results[i].status = WEXITSTATUS(status);
    }
    return results;
}

cgi_result run_cgi(const std::string &program, const env_list &env,
                   const std::vector<std::string> &args) {
    std::vector<started_cgi> procs{start_cgi(program, env, args)};
    return drain_all(procs)[0];
}

std::vector<cgi_result> run_cgi_all(const std::string &program, const std::vector<env_list> &envs) {
    std::vector<started_cgi> procs;
    for (const env_list &env : envs) procs.push_back(start_cgi(program, env, {}));
    return drain_all(procs);
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

const std::string json_head =
    "Content-Type: application/json; charset=utf-8\r\n"
    "Cache-Control: no-store\r\n"
    "X-Content-Type-Options: nosniff\r\n"
    "\r\n";

const std::string unauthorized =
    "Status: 401 Unauthorized\r\n" + json_head + "{\"ok\":false,\"error\":\"invalid node password\"}\n";

std::string error_response(int status, const std::string &reason, const std::string &message) {
    return "Status: " + std::to_string(status) + " " + reason + "\r\n" + json_head +
           "{\"ok\":false,\"error\":\"" + message + "\"}\n";
}

// Test support: runs the built program as a web server would (a fresh
// environment, arguments, standard output and standard error captured) and
// writes fixture files for the scripted service manager.
#ifndef TESTS_RUN_CGI_H
#define TESTS_RUN_CGI_H

#include <string>
#include <utility>
#include <vector>

struct cgi_result {
    std::string out;
    std::string err;
    int status = -1;  // exit status, or -1 when the process did not exit normally
};

using env_list = std::vector<std::pair<std::string, std::string>>;

// Runs program with exactly the variables in env and the given arguments.
cgi_result run_cgi(const std::string &program, const env_list &env,
                   const std::vector<std::string> &args = {});

// Starts one process for each environment, all before reading any output,
// so they run at the same time; the results come back in the same order.
std::vector<cgi_result> run_cgi_all(const std::string &program, const std::vector<env_list> &envs);

// Splits a CGI response at the first empty line; the body is what follows.
std::string response_head(const std::string &out);
std::string response_body(const std::string &out);

// A temporary file removed when the object goes away.
struct temp_file {
    std::string path;
    explicit temp_file(const std::string &content = "");
    ~temp_file();
    temp_file(const temp_file &) = delete;
    temp_file &operator=(const temp_file &) = delete;
    std::string read() const;
};

// The header block of every JSON response, the fixed 401 response, and the
// complete error response for a status, reason and message.
extern const std::string json_head;
extern const std::string unauthorized;
std::string error_response(int status, const std::string &reason, const std::string &message);

// One fixture line for a service.
std::string fixture_service(const std::string &name, const std::string &display, int state,
                            int pid, const std::string &start, const std::string &options = "");

#endif

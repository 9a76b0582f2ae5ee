// Captures what a piece of the program writes to standard output.
#ifndef TESTS_CAPTURE_H
#define TESTS_CAPTURE_H

#include <unistd.h>

#include <cstdio>
#include <string>

template <typename Fn>
std::string capture_stdout(Fn fn) {
    fflush(stdout);
    FILE *tmp = tmpfile();
    int saved = dup(1);
    dup2(fileno(tmp), 1);
    fn();
    fflush(stdout);
    dup2(saved, 1);
    close(saved);
    std::string out;
    rewind(tmp);
    char chunk[4096];
    for (size_t n; (n = fread(chunk, 1, sizeof chunk, tmp)) > 0;) out.append(chunk, n);
    fclose(tmp);
    return out;
}

#endif

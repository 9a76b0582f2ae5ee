// Runs a fuzz target's entry point once on each seed of a corpus directory,
// built with the normal compiler, so the seeds are regression tests of every
// native build. A seed that crashes, or trips one of the target's checks
// (which abort), kills the run; one that ends the process from inside the
// target fails it too. Usage: TARGET_seeds CORPUS_DIR
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int *argc, char ***argv);

namespace {

int g_report = 2;                  // where progress goes: the target may take standard output
const std::string *g_seed = nullptr;  // the seed being run, if any

void say(const std::string &line) {
    if (write(g_report, line.data(), line.size()) < 0) return;
}

// Registered with atexit: a process that ends inside a seed's run fails.
void exit_during_seed(void) {
    if (!g_seed) return;
    say("FAIL " + *g_seed + ": the process ended during this seed's run\n");
    _exit(1);
}

// The names of the regular files in dir, sorted; false when dir cannot be read.
bool seed_names(const std::string &dir, std::vector<std::string> *names) {
    DIR *d = opendir(dir.c_str());
    if (!d) return false;
    while (dirent *e = readdir(d))
        if (e->d_name[0] != '.') names->push_back(e->d_name);
    closedir(d);
    std::sort(names->begin(), names->end());
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s CORPUS_DIR\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    std::vector<std::string> names;
    if (!seed_names(dir, &names) || names.empty()) {
        fprintf(stderr, "FAIL: no seeds in %s\n", dir.c_str());
        return 1;
    }
    g_report = dup(1);
    atexit(exit_during_seed);
    if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
    for (const std::string &name : names) {
        std::ifstream in(dir + "/" + name, std::ios::binary);
        // Exactly the seed's bytes in a block of their own, so a read past
        // the end is caught by the sanitizer build.
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        say("seed " + name + " (" + std::to_string(bytes.size()) + " bytes)\n");
        g_seed = &name;
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
        g_seed = nullptr;
    }
    say(std::to_string(names.size()) + " seeds ran\n");
    return 0;
}

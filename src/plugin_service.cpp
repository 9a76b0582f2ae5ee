// plugin_services: the "services" plugin of a bot node. One run answers one
// discovery switch or one CGI request on standard output.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "actions.h"
#include "page/page_writer.h"
#include "platform/platform.h"
#include "request.h"

static const char program_name[] = "plugin_services";
static const char program_version[] = "1.0.1";
static const char plugin_name[] = "services";
static const char plugin_desc[] = "System services";

// 1 when the raw query string asks for the JSON interface.
static int wants_json(const char *qs) {
    return strstr(qs, "action=") || strstr(qs, "format=json");
}

int main(int argc, char **argv) {
    plat_stdout_binary();
    const char *meta = getenv("ZQ_PLUGIN_META");
    if ((argc >= 2 && strcmp(argv[1], "--meta") == 0) || (meta && *meta)) {
        printf("{\"name\":\"%s\",\"desc\":\"%s\"}\n", plugin_name, plugin_desc);
        return 0;
    }
    if (argc >= 2 && strcmp(argv[1], "--version") == 0) {
        printf("%s %s\n", program_name, program_version);
        return 0;
    }
    if (!password_ok()) {
        write_unauthorized();
        return 0;
    }
    const char *qs = getenv("QUERY_STRING");
    if (!qs) qs = "";
    if (wants_json(qs) || is_post_request()) return mode_json(qs);
    write_page();
    return 0;
}

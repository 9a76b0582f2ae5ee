// The memory and I/O that a native list over the scripted manager cannot do
// without, and nothing else: read the fixture into one block, back and zero
// the static table of fixed-width records, write into every record, then
// fill a document of the list's length in memory and write it in one write.
// Parses nothing, sorts nothing, escapes nothing.
// Usage: bench_model_floor FIXTURE DOCUMENT_BYTES
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "service_table.h"

static svc_record table[SVC_MAX];

// The whole file at path in a block of its own; null when it cannot be read.
static char *read_all(const char *path, size_t *len) {
    FILE *f = fopen(path, "rb");
    if (!f) return nullptr;
    long size = fseek(f, 0, SEEK_END) == 0 ? ftell(f) : -1;
    rewind(f);
    char *text = size > 0 ? static_cast<char *>(malloc((size_t)size + 1)) : nullptr;
    if (text) {
        plat_prefault(text, (size_t)size + 1);
        *len = fread(text, 1, (size_t)size, f);
        text[*len] = '\0';
    }
    fclose(f);
    return text;
}

int main(int argc, char **argv) {
    if (argc < 3) return 0;
    size_t text_len = 0, doc_len = strtoul(argv[2], nullptr, 10);
    char *text = read_all(argv[1], &text_len);
    if (!text || !doc_len) return 0;
    plat_prefault(table, sizeof table);
    size_t name_len = text_len < 16 ? text_len : 16;
    for (size_t i = 0; i < SVC_MAX; i++) {
        memset(&table[i], 0, sizeof table[i]);
        memcpy(table[i].name, text + i * 53 % (text_len - name_len + 1), name_len);
    }
    char *doc = static_cast<char *>(malloc(doc_len + 1));
    if (doc) {
        plat_prefault(doc, doc_len + 1);
        for (size_t at = 0, i = 0; at < doc_len; at += sizeof(svc_record), i = (i + 1) % SVC_MAX) {
            size_t n = doc_len - at < sizeof(svc_record) ? doc_len - at : sizeof(svc_record);
            memcpy(doc + at, &table[i], n);
        }
        fwrite(doc, 1, doc_len, stdout);
        fflush(stdout);
    }
    free(doc);
    free(text);
    return 0;
}

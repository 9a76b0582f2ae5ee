// The HTML page: constant texts embedded at build time, streamed as one
// response.
#ifndef PLUGIN_PAGE_WRITER_H
#define PLUGIN_PAGE_WRITER_H

extern const char page_headers[];
extern const char page_template[];
extern const char theme_head[];
extern const char theme_bridge[];

// Writes the header block, then the template with marker byte 0x01 replaced
// by theme_head and 0x02 by theme_bridge.
void write_page(void);

#endif

// A text or data buffer for reads whose length is known only after the read: what fits
// goes into a fixed part, anything longer into a heap buffer of the size Windows reports.
#ifndef DETECT_READ_BUFFER_H
#define DETECT_READ_BUFFER_H

#include "platform/win.h"

#define REG_TEXT_SIZE 512

struct read_buffer {
    char fixed[REG_TEXT_SIZE];
    char *heap;
    DWORD size;  // bytes that text can hold
    char *text;  // fixed or heap
};

void init_buffer(read_buffer *buffer);
// Makes room for at least size bytes; false when it cannot (the old contents are lost).
bool grow_buffer(read_buffer *buffer, DWORD size);
void free_buffer(read_buffer *buffer);

#endif

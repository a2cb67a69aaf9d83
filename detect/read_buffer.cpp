#include "detect/read_buffer.h"

void init_buffer(read_buffer *buffer)
{
    buffer->heap = NULL;
    buffer->size = REG_TEXT_SIZE;
    buffer->text = buffer->fixed;
}

// The old buffer stays as it was when no new one can be had.
bool grow_buffer(read_buffer *buffer, DWORD size)
{
    if (size <= buffer->size)
        return true;
    char *bigger = (char *)malloc(size);
    if (bigger == NULL)
        return false;
    free(buffer->heap);
    buffer->heap = bigger;
    buffer->text = bigger;
    buffer->size = size;
    return true;
}

void free_buffer(read_buffer *buffer)
{
    free(buffer->heap);
    init_buffer(buffer);
}

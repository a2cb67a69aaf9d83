// Deletion of a registry key together with every key below it.
#ifndef CLEAN_KEY_TREE_H
#define CLEAN_KEY_TREE_H

#include "platform/win.h"

#define KEY_NAME_SIZE 256

// Deletes name under parent, each key after all the keys below it and never while it is
// open. On the NT family a registry link, name itself or a key below it, is deleted as a
// link and what it names is left alone. Returns 1 when the key was deleted or is not there
// (nothing to delete), 0 when it stays: refused at the open or in the end.
LONG delete_key_tree(HKEY parent, const char *name);

#endif

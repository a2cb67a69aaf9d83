// The worm file: tests, deletion, and a case-insensitive search.
#ifndef CLEAN_WORM_FILE_H
#define CLEAN_WORM_FILE_H

enum worm_file_outcome {
    WORM_FILE_DELETED,
    WORM_FILE_ABSENT,         // never there, or gone although the deletion failed
    WORM_FILE_STILL_PRESENT,  // as a rule held in use; a directory of that name too
};

// Where pattern first occurs in text when the case of ASCII letters is ignored: a pointer
// into text, or NULL. Neither text is changed; an empty pattern occurs at the start.
const char *contains_nocase(const char *text, const char *pattern);

// True when the attributes of path can be read; a directory counts.
bool file_exists(const char *path);

// Leaves only the archive attribute on an existing file, so that read-only, hidden and
// system files can be deleted.
void clear_file_attributes(const char *path);

// True only when Windows says there is no such file or folder: any other failure to read
// the attributes may hide a file that is still there.
bool known_absent(const char *path);

// True only when path existed and was deleted.
bool delete_if_exists(const char *path);

worm_file_outcome remove_worm_file(const char *path);

#endif

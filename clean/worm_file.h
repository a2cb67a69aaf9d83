// The worm file: its test and its deletion.
#ifndef CLEAN_WORM_FILE_H
#define CLEAN_WORM_FILE_H

enum worm_file_outcome {
    WORM_FILE_DELETED,
    WORM_FILE_ABSENT,         // never there, or gone although the deletion failed
    WORM_FILE_STILL_PRESENT,  // as a rule held in use; a directory of that name too
};

// True when the attributes of path can be read; a directory counts.
bool file_exists(const char *path);

// True only when Windows says there is no such file or folder: any other failure to read
// the attributes may hide a file that is still there.
bool known_absent(const char *path);

worm_file_outcome remove_worm_file(const char *path);

#endif

/* Lab helper: stands in for Windows' shutdown.exe, as a script under test finds it first on
 * its PATH. It restarts nothing: it appends its arguments, exactly as its command line carries
 * them after its own name, as one line to shutdown-calls.txt beside itself, and exits 0.
 * Exits 1 when the line cannot be written. */
#include <windows.h>
#include <stdio.h>
#include <string.h>

static const char RECORD[] = "shutdown-calls.txt";

/* The command line after the program's name (quoted or not) and the blanks that follow it. */
static const char *arguments(const char *line)
{
    if (*line == '"') {
        line = strchr(line + 1, '"');
        line = line ? line + 1 : "";
    } else {
        while (*line && *line != ' ' && *line != '\t')
            line++;
    }
    while (*line == ' ' || *line == '\t')
        line++;
    return line;
}

int main(void)
{
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(NULL, path, sizeof path);
    char *name;
    FILE *f;
    int ok;

    if (n == 0 || n >= sizeof path)
        return 1;
    name = strrchr(path, '\\');
    name = name ? name + 1 : path;
    if ((size_t)(name - path) + sizeof RECORD > sizeof path)
        return 1;
    memcpy(name, RECORD, sizeof RECORD);
    f = fopen(path, "ab");
    if (!f)
        return 1;
    ok = fprintf(f, "%s\r\n", arguments(GetCommandLineA())) > 0;
    return fclose(f) == 0 && ok ? 0 : 1;
}

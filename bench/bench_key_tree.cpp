// Deletes HKEY_CLASSES_ROOT\.dl with the tool's own delete_key_tree and prints the time the
// deletion took inside the process, in milliseconds. Exit code 0 when the key is gone.
#include "clean/key_tree.h"

int main(void)
{
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    LONG result = delete_key_tree(HKEY_CLASSES_ROOT, ".dl");
    QueryPerformanceCounter(&end);
    printf("delete_key_tree %ld in %.1f ms\n", (long)result,
           1000.0 * (double)(end.QuadPart - start.QuadPart) / (double)frequency.QuadPart);
    HKEY key;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, ".dl", 0, KEY_READ, &key) == ERROR_SUCCESS) {
        RegCloseKey(key);
        return 1;
    }
    return result == 1 ? 0 : 1;
}

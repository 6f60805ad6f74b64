/* The demo's Windows client program: shows what it was started with and what it finds on its
 * drive c:, as an organisation's client program would see them on Windows. */
#include <stdio.h>
#include <string.h>
#include <windows.h>

static const char *found(const char *path) {
    FILE *file = fopen(path, "rb");
    if (!file)
        return "missing";
    fclose(file);
    return "found";
}

int main(int argc, char **argv) {
    char text[4096];
    int used = snprintf(text, sizeof text, "Started as: %s\n\nArguments:", argv[0]);
    for (int i = 1; i < argc && used > 0 && used < (int)sizeof text; ++i)
        used += snprintf(text + used, sizeof text - used, " [%s]", argv[i]);
    if (used > 0 && used < (int)sizeof text)
        snprintf(text + used, sizeof text - used,
                 "\n\nIts own file %s: %s\nc:\\quorvane3\\quorvane.ini: %s", argv[0],
                 found(argv[0]), found("c:\\quorvane3\\quorvane.ini"));
    MessageBoxA(NULL, text, "Quorvane demo client (Windows)", MB_OK | MB_ICONINFORMATION);
    return 0;
}

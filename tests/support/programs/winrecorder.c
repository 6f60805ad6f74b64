/* A Windows console program that records what it sees, as a client program would: its argv
 * (argv[0] included) as one JSON array line, then whether its own file opens under the path it
 * was started by, then the first line of the launcher's settings file. The lines go to
 * c:\records.jsonl, so they are found only where its c: is the launcher's drive folder. */
#include <stdio.h>
#include <string.h>

static void put(FILE *out, const char *text) {
    fputc('"', out);
    for (const unsigned char *p = (const unsigned char *)text; *p; ++p) {
        if (*p == '"' || *p == '\\')
            fprintf(out, "\\%c", *p);
        else if (*p < 0x20)
            fprintf(out, "\\u%04x", *p);
        else
            fputc(*p, out);
    }
    fputc('"', out);
}

int main(int argc, char **argv) {
    FILE *out = fopen("c:\\records.jsonl", "ab");
    if (!out)
        return 2;
    fputc('[', out);
    for (int i = 0; i < argc; ++i) {
        if (i > 0)
            fputc(',', out);
        put(out, argv[i]);
    }
    FILE *self = fopen(argv[0], "rb");
    fprintf(out, "]\n[\"own file\",\"%s\"]\n", self ? "opens" : "missing");
    if (self)
        fclose(self);
    char line[256] = "";
    FILE *ini = fopen("c:\\quorvane3\\quorvane.ini", "rb");
    if (ini) {
        if (!fgets(line, sizeof line, ini))
            line[0] = '\0';
        fclose(ini);
    }
    line[strcspn(line, "\r\n")] = '\0';
    fputs("[\"settings\",", out);
    put(out, ini ? line : "<missing>");
    fputs("]\n", out);
    fclose(out);
    return 0;
}

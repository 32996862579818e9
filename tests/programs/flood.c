// Writes 20 MB at once, in lines of 100 bytes, with one fwrite: far more
// than the trace keeps.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

enum { lineBytes = 100, lineCount = 200000 };

int main(void)
{
    char *text = malloc((size_t)lineBytes * lineCount);
    if (text == NULL) {
        return 1;
    }
    for (int i = 0; i < lineCount; i++) {
        char *line = text + (size_t)i * lineBytes;
        int made = snprintf(line, lineBytes, "line %d", i);
        memset(line + made, '.', lineBytes - 1 - (size_t)made);
        line[lineBytes - 1] = '\n';
    }
    fwrite(text, lineBytes, lineCount, stdout);
    free(text);
    return 0;
}

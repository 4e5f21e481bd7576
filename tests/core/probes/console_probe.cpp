// Prints its first argument as a format text with the second as its %s
// argument, the way the programs print their messages.
#include <keyhold/console.h>

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    if (argc > 2) {
        ConsolePrintf(argv[1], argv[2]);
    } else {
        ConsolePrintf(argv[1], "");
    }
    return 0;
}

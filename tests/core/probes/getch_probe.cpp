// Prints a prompt, then reads keys with _getch and prints each value, until
// end of input or as many keys as the first argument says.
#include <conio.h>
#include <keyhold/console.h>

#include <cstdlib>

int main(int argc, char** argv) {
    const int keys = argc > 1 ? std::atoi(argv[1]) : 1;
    ConsolePrintf("Press a key: ");
    for (int i = 0; i < keys; ++i) {
        const int key = _getch();
        ConsolePrintf("[%d]", key);
        if (key < 0) break;
    }
    ConsolePrintf("\n");
    return 0;
}

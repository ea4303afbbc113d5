// Keeps Wine's desktop process alive for the life of the sandbox: without a
// user process attached to the desktop it exits, and the next program's first
// COM initialisation pays for starting it again. Ends with the wineserver.
#include <windows.h>

int wmain() {
    GetDesktopWindow();
    for (;;) Sleep(INFINITE);
}

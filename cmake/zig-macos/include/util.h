// For the macOS cross build only: the headers zig carries have no <util.h>,
// which a Mac's SDK has. This declares the one function the virtual cable
// takes from it, as the SDK does; libSystem provides it.
#pragma once

#include <sys/cdefs.h>
#include <sys/ttycom.h>
#include <termios.h>

__BEGIN_DECLS
int openpty(int* amaster, int* aslave, char* name, struct termios* termp, struct winsize* winp);
__END_DECLS

// sineplot on Windows, where ending the program from outside is the
// system's affair: the library alone is started, and no signal is awaited.

#include "platform.h"

#include <allegro.h>

#include <cerrno>

int start_library()
{
    return allegro_init();
}

int stop_signal()
{
    return 0;
}

// sineplot on Windows. The library names the window and gives it the icon
// from the program's resources, copies frames through its own drawing
// surfaces, and never changes the C library's locale; ending the program
// from outside is the system's affair. So there is nothing to add here.

#include "platform.h"

#include <allegro.h>

#include <cerrno>

int start_library()
{
    return allegro_init();
}

void window_opened()
{
}

void finish_start_up()
{
}

int stop_signal()
{
    return 0;
}

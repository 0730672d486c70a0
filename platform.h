// What sineplot asks of the platform it runs on, beyond the graphics
// library, at four points of a run. platform_x11.cpp serves X11, where the
// library leaves these things to the program; platform_windows.cpp serves
// Windows, where the library and the system see to them.
#ifndef SINEPLOT_PLATFORM_H
#define SINEPLOT_PLATFORM_H

// Starts the library (allegro_init) and gives its result, with the
// platform's arrangements for the window's identity and for ending the
// program made around it.
int start_library();

// As soon as the window has opened (set_gfx_mode), before anything else.
void window_opened();

// Once the keyboard and mouse are installed.
void finish_start_up();

// The signal that asked the program to stop, or 0 if none has; asked once
// per frame.
int stop_signal();

#endif

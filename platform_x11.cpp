// sineplot on X11: what it takes to live well beside other programs there,
// which the library leaves to the program.
// - Ending: Ctrl+C, kill and a hangup close the window properly and end
//   the program by that signal; X errors and a lost display end it at once
//   with one line saying why.

#include "platform.h"

#include <allegro.h>
#include <X11/Xlib.h>

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <initializer_list>

void note_stop_signal(int signal_number);
int end_on_x_error(Display *display, XErrorEvent *error);
int end_on_lost_display(Display *display);

// allegro_init(), keeping the usual meaning of the signals that end a
// program. On X11 the library catches them with a handler that closes the
// window from inside the handler: that ends in abort() whenever the signal
// lands while a frame is being copied, and can deadlock in the allocator.
// So once it has started, Ctrl+\ (SIGQUIT) gets its default action back
// (end at once, with a core dump), while a hangup, Ctrl+C, kill (SIGTERM)
// and the library's Ctrl+Alt+End, which sends SIGTERM, are only noted, for
// the frame loop to end the program by. Signals the program was started
// with ignored stay ignored.
int start_library()
{
    sigset_t handled, ignored, before;
    sigemptyset(&handled);
    sigemptyset(&ignored);
    for (int signal_number : {SIGHUP, SIGINT, SIGQUIT, SIGTERM}) {
        struct sigaction action;
        sigaction(signal_number, nullptr, &action);
        sigaddset(action.sa_handler == SIG_IGN ? &ignored : &handled, signal_number);
    }

    // Held back until the library's handlers are replaced. The threads the
    // library starts meanwhile inherit this, then block every signal.
    pthread_sigmask(SIG_BLOCK, &handled, &before);
    int result = allegro_init();
    if (result == 0) {
        std::signal(SIGQUIT, sigismember(&ignored, SIGQUIT) ? SIG_IGN : SIG_DFL);
        for (int signal_number : {SIGHUP, SIGINT, SIGTERM})
            std::signal(signal_number,
                        sigismember(&ignored, signal_number) ? SIG_IGN : note_stop_signal);
    }
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    if (result != 0)
        return result;

    XSetIOErrorHandler(end_on_lost_display);
    XSetErrorHandler(end_on_x_error);
    return 0;
}

// The signal that asked the program to stop, or 0 if none has.
int stop_signal()
{
    for (int signal_number : {SIGHUP, SIGINT, SIGTERM}) {
        struct sigaction action;
        sigaction(signal_number, nullptr, &action);
        if (action.sa_handler == SIG_DFL)
            return signal_number;
    }
    return 0;
}

// Puts the signal's default action back, which is how the frame loop
// learns of it; a second one, should the program not get to stop, then
// ends it at once.
void note_stop_signal(int signal_number)
{
    std::signal(signal_number, SIG_DFL);
}

// Xlib's default handler for an error reported by the X server (such as
// the window being destroyed by another program) prints it and calls
// exit(), from whichever thread noticed; the library's shutdown at exit
// then trips over its own X connection and aborts. Say what the server
// reported and leave at once instead.
int end_on_x_error(Display *display, XErrorEvent *error)
{
    char text[256];
    XGetErrorText(display, error->error_code, text, sizeof text);
    fprintf(stderr, "sineplot: the X server reported an error: %s.\n", text);
    _exit(1);
}

// When the X server goes away, Xlib's default handler calls exit() from
// whichever thread noticed, and the library's shutdown at exit can then
// deadlock against its own input and timer threads. Leave at once instead:
// there is nothing left on the display to clean up.
int end_on_lost_display(Display *)
{
    fputs("sineplot: the connection to the X display was lost.\n", stderr);
    _exit(1);
}

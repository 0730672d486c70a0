// sineplot: a 640 x 400 window showing a red axis, a sine curve sampled once
// per pixel column and a height label every 20 columns. The picture is drawn
// into a back buffer and copied to the window until Escape is pressed.

#include <allegro.h>

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#ifdef ALLEGRO_WITH_XWINDOWS
#include <X11/Xlib.h>
#include <initializer_list>
#include <signal.h>
#include <unistd.h>
#endif

void init();
int start_library();
int stop_signal();
void deinit();
void draw_frame(BITMAP *buffer);
#ifdef ALLEGRO_WITH_XWINDOWS
void note_stop_signal(int signal_number);
int end_on_x_error(Display *display, XErrorEvent *error);
int end_on_lost_display(Display *display);
#endif

int main()
{
    init();

    BITMAP *buffer = create_bitmap(640, 400);
    if (!buffer) {
        allegro_message("Cannot create the 640 x 400 drawing buffer: not enough memory.\n");
        exit(-1);
    }

    // Let the windowing system draw the pointer: a pointer drawn by the
    // library into the screen would be painted over by every frame's copy.
    enable_hardware_cursor();
    show_mouse(screen);

    int stop = 0;
    while (!key[KEY_ESC] && (stop = stop_signal()) == 0) {
        draw_frame(buffer);
        blit(buffer, screen, 0, 0, 0, 0, 640, 400);
    }

    destroy_bitmap(buffer);
    deinit();
    if (stop != 0) {
        // Asked to stop by a signal: close the window first, which also
        // frees the shared memory the library copies frames through (that
        // outlives the process otherwise), then end by that same signal.
        allegro_exit();
        std::signal(stop, SIG_DFL);
        std::raise(stop);
    }
    return 0;
}
END_OF_MAIN()

void init()
{
    if (start_library() != 0) {
        // Without a system driver the library has no error text to give and
        // any further call would crash, so say what went wrong ourselves.
        allegro_message("Cannot start the graphics library: no usable display was found.\n");
        exit(-1);
    }

#ifdef ALLEGRO_WITH_XWINDOWS
    XSetIOErrorHandler(end_on_lost_display);
    XSetErrorHandler(end_on_x_error);
#endif

    int depth = desktop_color_depth();
    if (depth == 0)
        depth = 32;
    set_color_depth(depth);

    if (set_gfx_mode(GFX_AUTODETECT_WINDOWED, 640, 400, 0, 0) != 0) {
        // The library's own words, passed as an argument so that a '%' in
        // them is shown as it is.
        allegro_message("%s", allegro_error);
        exit(-1);
    }

    install_timer();
    if (install_keyboard() != 0) {
        // Escape is the only way out: without a keyboard the window could
        // never be closed.
        allegro_message("Cannot use the keyboard, so Escape could not end the program.\n");
        exit(-1);
    }
    install_mouse();
}

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
#ifdef ALLEGRO_WITH_XWINDOWS
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
    return result;
#else
    return allegro_init();
#endif
}

// The signal that asked the program to stop, or 0 if none has.
int stop_signal()
{
#ifdef ALLEGRO_WITH_XWINDOWS
    for (int signal_number : {SIGHUP, SIGINT, SIGTERM}) {
        struct sigaction action;
        sigaction(signal_number, nullptr, &action);
        if (action.sa_handler == SIG_DFL)
            return signal_number;
    }
#endif
    return 0;
}

#ifdef ALLEGRO_WITH_XWINDOWS
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
#endif

void deinit()
{
    clear_keybuf();
}

void draw_frame(BITMAP *buffer)
{
    clear_bitmap(buffer);
    fastline(buffer, 0, 180, 639, 180, makecol(250, 0, 0));

    for (int x = 0; x < 640; x++) {
        // 2 degrees per column; the product comes first, in double.
        double angle = x * 3.1415926 / 90;
        float v = static_cast<float>(sin(angle));
        // Rows grow downward; the float product is truncated toward zero.
        int row = 180 + static_cast<int>(v * 90);
        putpixel(buffer, x, row, makecol(120, 120, 90));

        if (x % 20 == 0) {
            // The legacy call keeps the library's default opaque text
            // background, so each label's cells hide what lies under them.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
            textprintf(buffer, font, x, row, makecol(255, 255, 255), "y:%4.2f",
                       static_cast<double>(-v));
#pragma GCC diagnostic pop
        }
    }
}

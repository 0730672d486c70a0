// sineplot on X11: what it takes to live well beside other programs there,
// which the library leaves to the program.
// - Ending: Ctrl+C, kill and a hangup close the window properly and end
//   the program by that signal; X errors and a lost display end it at once
//   with one line saying why.
// - Shared memory: the library copies frames to the X server through a
//   shared memory segment, which it creates open to every local user. The
//   program keeps it to its own user as soon as the X server has attached
//   it, lets the kernel free it however the program ends, and takes the
//   plain image path where the X server cannot attach it (a container, a
//   sandbox). It changes no segment but the one this process made for its
//   frames.
// - Numbers: the labels keep a decimal point whatever the locale.
// - Identity: the window's own class, icon, process id and host, so that
//   docks and window managers tell it from other programs on this library.

#include "platform.h"

#include <allegro.h>
#include <xalleg.h>

#include <X11/Xatom.h>
#include <X11/Xlibint.h>
#include <X11/Xutil.h>
#include <X11/extensions/shmproto.h>
#include <pthread.h>
#include <signal.h>
#include <sys/shm.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <initializer_list>

// The window's icon, drawn by packaging/make-icons.py: sineplot_xpm.
#include "packaging/sineplot.xpm"

// The library's X11 icon, an XPM that it puts on the window as it opens.
// It is defined by the library but declared in none of its headers.
extern "C" void *allegro_icon;

void note_stop_signal(int signal_number);
int end_on_x_error(Display *display, XErrorEvent *error);
int end_on_lost_display(Display *display);
int take_plain_path_if_refused(Display *display, xError *error, XExtCodes *codes, int *result);
void keep_to_user(int shmid, std::size_t size);
std::size_t image_bytes(const XImage *image);
std::size_t image_bytes_being_made(Display *display);
void name_process(Display *display, Window window);

// allegro_init(), keeping the usual meaning of the signals that end a
// program. On X11 the library catches them with a handler that closes the
// window from inside the handler: that ends in abort() whenever the signal
// lands while a frame is being copied, and can deadlock in the allocator.
// So once it has started, Ctrl+\ (SIGQUIT) and the signals of a fault (a
// bad address or instruction, an arithmetic fault, abort()) get back what
// they had before the library came: by default they end the program at
// once, by that signal, with a core dump where those are enabled, and a
// fault's dump shows the fault rather than the handler; a handler that
// stood there (a sanitizer's, which reports the fault with its stack, or a
// crash reporter's) gets the fault again, and a signal that was ignored
// stays ignored. A hangup, Ctrl+C, kill (SIGTERM) and the library's
// Ctrl+Alt+End, which sends SIGTERM, are only noted, for the frame loop to
// end the program by, unless they were ignored when the program started.
int start_library()
{
    // The window's class and icon are taken when the library opens the
    // window; its class reaches the top-level window only when named
    // before the library starts.
    xwin_set_window_name("sineplot", "Sineplot");
    allegro_icon = const_cast<char **>(sineplot_xpm);

    // The signals that end the program at once, each with what it had
    // before the library came. The library takes all of them but SIGBUS,
    // which goes with them all the same.
    struct {
        int number;
        struct sigaction before_library;
    } at_once[] = {{SIGQUIT, {}}, {SIGSEGV, {}}, {SIGBUS, {}}, {SIGFPE, {}}, {SIGILL, {}},
                   {SIGABRT, {}}};
    const int noted[] = {SIGHUP, SIGINT, SIGTERM};

    sigset_t handled, ignored, before;
    sigemptyset(&handled);
    sigemptyset(&ignored);
    for (auto &signal : at_once) {
        sigaction(signal.number, nullptr, &signal.before_library);
        if (signal.before_library.sa_handler != SIG_IGN)
            sigaddset(&handled, signal.number);
    }
    for (int signal_number : noted) {
        struct sigaction action;
        sigaction(signal_number, nullptr, &action);
        sigaddset(action.sa_handler == SIG_IGN ? &ignored : &handled, signal_number);
    }

    // Held back until the library's handlers are replaced (a fault meanwhile
    // still ends the program by its signal: the kernel does not hold those
    // back). The threads the library starts meanwhile inherit this, then
    // block every signal.
    pthread_sigmask(SIG_BLOCK, &handled, &before);
    int result = allegro_init();
    if (result == 0) {
        for (const auto &signal : at_once)
            sigaction(signal.number, &signal.before_library, nullptr);
        for (int signal_number : noted)
            std::signal(signal_number,
                        sigismember(&ignored, signal_number) ? SIG_IGN : note_stop_signal);
    }
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    if (result != 0)
        return result;

    XSetIOErrorHandler(end_on_lost_display);
    XSetErrorHandler(end_on_x_error);
    // Before the window opens, which is when the library attaches its
    // shared memory to the X server.
    if (XExtCodes *shm = XInitExtension(_xwin.display, "MIT-SHM"))
        XESetError(_xwin.display, shm->extension, take_plain_path_if_refused);
    return 0;
}

// The library opened the window with its shared memory open to every
// local user, and has waited for the X server to attach it: from here on
// only the program and the X server need it.
void window_opened()
{
    if (_xwin.use_shm)
        keep_to_user(_xwin.shminfo.shmid, image_bytes(_xwin.ximage));
}

void finish_start_up()
{
    // Label numbers in the C convention. The keyboard driver has just set
    // the whole locale from the environment, for its input method, and
    // under most of the world's locales the labels would read y:0,98. Only
    // number formatting goes back; the input method keeps the rest.
    setlocale(LC_NUMERIC, "C");

    name_process(_xwin.display, _xwin.wm_window);
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

// Called by Xlib for each X error before the error handler. An X server
// that cannot reach the program's shared memory (one outside its IPC
// namespace, as for a program in a container) refuses to attach it. The
// library sends the attach request without checking its outcome, then
// waits for the server, which is when this runs: the library then copies
// frames as plain images from the same memory, and the error is settled.
int take_plain_path_if_refused(Display *display, xError *error, XExtCodes *codes, int *result)
{
    if (error->majorCode != codes->major_opcode || error->minorCode != X_ShmAttach)
        return False;
    _xwin.use_shm = 0;
    keep_to_user(_xwin.shminfo.shmid, image_bytes_being_made(display));
    *result = 0;
    return True;
}

// The library makes its segment open to every local user, and removes it
// only when it shuts down, which a killed program never does. Once the X
// server has attached it (or refused to), it is made the user's alone and
// marked for removal, so that the kernel frees it when the last of the
// program and the X server lets go of it, however the program ends.
// The id comes from the library's own state, so it is taken for the
// program's segment only if this process made it and it is size bytes
// long, the size of the frame image; any other segment of the user's, which
// a library built otherwise could name there, is left as it is.
void keep_to_user(int shmid, std::size_t size)
{
    struct shmid_ds segment;
    if (shmctl(shmid, IPC_STAT, &segment) != 0 || segment.shm_cpid != getpid() ||
        segment.shm_segsz != size)
        return;
    segment.shm_perm.mode = 0600;
    shmctl(shmid, IPC_SET, &segment);
    shmctl(shmid, IPC_RMID, nullptr);
}

// The bytes of a frame image, as the library sizes its segment for it.
std::size_t image_bytes(const XImage *image)
{
    return static_cast<std::size_t>(image->bytes_per_line) *
           static_cast<std::size_t>(image->height);
}

// The bytes of the frame image that the library is making while it waits
// for the X server to attach its segment, before it hands the image over:
// Xlib lays out each row of it in the display's pixel format for the
// window's depth, padded to a whole scanline unit, as here. This asks
// nothing of the X server.
std::size_t image_bytes_being_made(Display *display)
{
    int count = 0;
    XPixmapFormatValues *formats = XListPixmapFormats(display, &count);
    std::size_t size = 0;
    for (int i = 0; i < count; i++) {
        if (formats[i].depth != _xwin.window_depth || formats[i].scanline_pad <= 0)
            continue;
        auto row_bits = static_cast<std::size_t>(formats[i].bits_per_pixel) *
                        static_cast<std::size_t>(_xwin.virtual_width);
        auto pad = static_cast<std::size_t>(formats[i].scanline_pad);
        auto rows = static_cast<std::size_t>(_xwin.virtual_height);
        size = (row_bits + pad - 1) / pad * pad / 8 * rows;
    }
    if (formats)
        XFree(formats);
    return size;
}

// The process id and host name on the window, by which a window manager
// can offer to end the program when it stops responding.
void name_process(Display *display, Window window)
{
    long pid = getpid();
    XChangeProperty(display, window, XInternAtom(display, "_NET_WM_PID", False), XA_CARDINAL,
                    32, PropModeReplace, reinterpret_cast<unsigned char *>(&pid), 1);

    char host[256] = "";
    gethostname(host, sizeof host - 1);
    char *names[] = {host};
    XTextProperty machine;
    if (XStringListToTextProperty(names, 1, &machine)) {
        XSetWMClientMachine(display, window, &machine);
        XFree(machine.value);
    }
    XFlush(display);
}

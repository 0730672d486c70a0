/* Preloaded into sineplot by the test harness (LD_PRELOAD). It records the
 * library calls that the program itself makes and, on request, makes some of
 * them fail the way a real system could, so that the failure paths can be
 * tested against the unchanged binary.
 *
 * It also records each key and close request that the library hands the
 * program ("key pressed Escape", "key released o", "close button": keys by
 * the X server's names for them), and keeps the count of frames copied in a
 * file as they are copied, so that a test can wait for an event to have
 * reached the program and for frames to have been drawn since.
 *
 * Environment:
 *   PROBE_LOG           file that receives one line per recorded call
 *   PROBE_FRAMES        file of 8 bytes, made by the test, that holds the
 *                       count of frames copied so far (an unsigned 64-bit
 *                       number in the machine's byte order)
 *   PROBE_DEPTH_ZERO    the desktop's colour depth is reported as 0
 *   PROBE_REFUSE_MODE   set_gfx_mode() fails, with this text as allegro_error
 *   PROBE_NO_BITMAP     create_bitmap() returns NULL
 *   PROBE_NO_KEYBOARD   install_keyboard() fails
 *   PROBE_ESCAPE_DOWN   Escape is held down from show_mouse() on
 *   PROBE_FOREIGN_SEGMENT  the program, asking about a shared memory segment
 *                       (shmctl IPC_STAT), is told that another process made
 *                       it ("creator") or that it is of another size ("size")
 *
 * Calls that the library makes to itself are passed through untouched.
 */
#define _GNU_SOURCE
#include <allegro.h>
#include <xalleg.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/shm.h>
#include <unistd.h>

static int started; /* this process is the program, not a child it ran */
static unsigned long blits, clears;
static unsigned long long *shown_blits; /* PROBE_FRAMES, mapped */
static void (*program_key_callback)(int scancode);
static void (*program_close_callback)(void);

/* The library's own definition of a function, looked up once. */
#define REAL(name) ({ \
    static __typeof__(&name) real_; \
    if (!real_) \
        real_ = (__typeof__(&name))dlsym(RTLD_NEXT, #name); \
    real_; })

static int by_program(const void *caller)
{
    Dl_info info;
    return !(dladdr(caller, &info) && info.dli_fname && strstr(info.dli_fname, "liballeg"));
}

static void record(const char *format, ...)
{
    const char *path = getenv("PROBE_LOG");
    FILE *log = path ? fopen(path, "a") : NULL;
    if (!log)
        return;
    va_list args;
    va_start(args, format);
    vfprintf(log, format, args);
    va_end(args);
    fputc('\n', log);
    fclose(log);
}

__attribute__((destructor)) static void report_counts(void)
{
    if (started)
        record("frames cleared %lu copied %lu", clears, blits);
}

static int no_depth(void)
{
    return 0;
}

/* The file that keeps the count of frames copied, mapped where the test
 * reads it while the program runs. */
static void share_frame_count(void)
{
    const char *path = getenv("PROBE_FRAMES");
    int fd = path ? open(path, O_RDWR) : -1;
    if (fd < 0)
        return;
    void *map = mmap(NULL, sizeof *shown_blits, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (map != MAP_FAILED)
        shown_blits = map;
}

/* Called by the library's input thread as it takes each key, after it has
 * set the key's state; then whatever the program had set there. */
static void record_key(int scancode)
{
    const char *name = scancode_to_name(scancode & 0x7F);
    record("key %s %s", scancode & 0x80 ? "released" : "pressed", name ? name : "?");
    if (program_key_callback)
        program_key_callback(scancode);
}

/* Called by the library's input thread as it takes a close request from the
 * window manager; then whatever the program had set there. */
static void record_close(void)
{
    record("close button");
    if (program_close_callback)
        program_close_callback();
}

/* desktop_color_depth() is inlined into the program and asks the system
 * driver directly, so a desktop that cannot tell its depth is made by
 * replacing the driver's answer once the library has started.
 * The programs that the library runs from here on (its message window) start
 * without the probe: under an emulator they are of the machine's own
 * architecture, which cannot load it. */
int _install_allegro_version_check(int system_id, int *errno_ptr, int (*atexit_ptr)(void (*)(void)),
                                   int version)
{
    unsetenv("LD_PRELOAD"); /* before the library starts a thread */
    int result = REAL(_install_allegro_version_check)(system_id, errno_ptr, atexit_ptr, version);
    started = 1;
    share_frame_count();
    record("allegro_init %#x -> %d", version, result);
    if (result == 0 && getenv("PROBE_DEPTH_ZERO"))
        system_driver->desktop_color_depth = no_depth;
    return result;
}

/* The program's changes to the shared memory that the library copies frames
 * through: "shmctl IPC_SET" and "shmctl IPC_RMID"; and, with
 * PROBE_FOREIGN_SEGMENT, a segment that is not the program's own where it
 * looks at one. */
int shmctl(int shmid, int cmd, struct shmid_ds *buf)
{
    if (!by_program(__builtin_return_address(0)))
        return REAL(shmctl)(shmid, cmd, buf);
    if (cmd == IPC_SET || cmd == IPC_RMID)
        record("shmctl %s", cmd == IPC_SET ? "IPC_SET" : "IPC_RMID");
    int result = REAL(shmctl)(shmid, cmd, buf);
    const char *foreign = getenv("PROBE_FOREIGN_SEGMENT");
    if (result == 0 && cmd == IPC_STAT && foreign) {
        if (strcmp(foreign, "creator") == 0)
            buf->shm_cpid = getppid();
        else if (strcmp(foreign, "size") == 0)
            buf->shm_segsz /= 2;
    }
    return result;
}

void set_color_depth(int depth)
{
    if (by_program(__builtin_return_address(0)))
        record("set_color_depth %d", depth);
    REAL(set_color_depth)(depth);
}

int set_gfx_mode(int card, int w, int h, int v_w, int v_h)
{
    if (!by_program(__builtin_return_address(0)))
        return REAL(set_gfx_mode)(card, w, h, v_w, v_h);
    const char *refusal = getenv("PROBE_REFUSE_MODE");
    int result;
    if (refusal) {
        snprintf(allegro_error, ALLEGRO_ERROR_SIZE, "%s", refusal);
        result = -1;
    } else {
        result = REAL(set_gfx_mode)(card, w, h, v_w, v_h);
    }
    record("set_gfx_mode %s %d %d %d %d -> %d",
               card == GFX_AUTODETECT_WINDOWED ? "windowed" : "other", w, h, v_w, v_h, result);
    return result;
}

int install_timer(void)
{
    if (by_program(__builtin_return_address(0)))
        record("install_timer");
    return REAL(install_timer)();
}

int install_keyboard(void)
{
    if (!by_program(__builtin_return_address(0)))
        return REAL(install_keyboard)();
    record("install_keyboard");
    return getenv("PROBE_NO_KEYBOARD") ? -1 : REAL(install_keyboard)();
}

int install_mouse(void)
{
    if (by_program(__builtin_return_address(0)))
        record("install_mouse");
    return REAL(install_mouse)();
}

BITMAP *create_bitmap(int width, int height)
{
    if (!by_program(__builtin_return_address(0)))
        return REAL(create_bitmap)(width, height);
    record("create_bitmap %d %d", width, height);
    return getenv("PROBE_NO_BITMAP") ? NULL : REAL(create_bitmap)(width, height);
}

void show_mouse(BITMAP *bmp)
{
    REAL(show_mouse)(bmp);
    if (by_program(__builtin_return_address(0))) {
        record("show_mouse %s", bmp == screen ? "screen" : "other");
        /* The keyboard and the window are the program's by now. */
        program_key_callback = keyboard_lowlevel_callback;
        keyboard_lowlevel_callback = record_key;
        program_close_callback = _xwin.close_button_callback;
        set_close_button_callback(record_close);
        if (getenv("PROBE_ESCAPE_DOWN"))
            key[KEY_ESC] = 1;
    }
}

void clear_bitmap(BITMAP *bmp)
{
    if (by_program(__builtin_return_address(0)))
        clears++;
    REAL(clear_bitmap)(bmp);
}

void blit(BITMAP *source, BITMAP *dest, int source_x, int source_y, int dest_x, int dest_y,
          int width, int height)
{
    REAL(blit)(source, dest, source_x, source_y, dest_x, dest_y, width, height);
    if (by_program(__builtin_return_address(0))) {
        blits++;
        if (shown_blits)
            __atomic_store_n(shown_blits, blits, __ATOMIC_RELEASE);
    }
}

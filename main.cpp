// sineplot: a 640 x 400 window showing a red axis, a sine curve sampled once
// per pixel column and a height label every 20 columns. The picture is drawn
// into a back buffer and copied to the window until Escape is pressed.

#include <allegro.h>

#include <cmath>
#include <csignal>
#include <cstdlib>

#include "platform.h"

void init();
void deinit();
void draw_frame(BITMAP *buffer);

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
        // Asked to stop by a signal: close the window first, as Escape
        // would have, then end by that same signal.
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
    window_opened();

    install_timer();
    if (install_keyboard() != 0) {
        // Escape is the only way out: without a keyboard the window could
        // never be closed.
        allegro_message("Cannot use the keyboard, so Escape could not end the program.\n");
        exit(-1);
    }
    install_mouse();
    finish_start_up();
}

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

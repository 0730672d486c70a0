// The floor of a frame: the same window, buffer and loop as sineplot, but a
// frame is only cleared and copied. Escape ends it.
#include <allegro.h>

int main()
{
    allegro_init();
    int depth = desktop_color_depth();
    set_color_depth(depth ? depth : 32);
    if (set_gfx_mode(GFX_AUTODETECT_WINDOWED, 640, 400, 0, 0) != 0) {
        allegro_message("%s", allegro_error);
        return 1;
    }
    install_timer();
    install_keyboard();
    install_mouse();
    BITMAP *buffer = create_bitmap(640, 400);
    enable_hardware_cursor();
    show_mouse(screen);
    while (!key[KEY_ESC]) {
        clear_bitmap(buffer);
        blit(buffer, screen, 0, 0, 0, 0, 640, 400);
    }
    destroy_bitmap(buffer);
    return 0;
}
END_OF_MAIN()

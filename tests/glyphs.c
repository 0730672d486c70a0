/* Prints how the library's default font draws each argument: eight lines
 * per argument, '#' for a set pixel and '.' for a clear one. It needs no
 * display. */
#include <allegro.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char **argv)
{
    if (install_allegro(SYSTEM_NONE, &errno, atexit) != 0)
        return 1;
    set_color_depth(8);
    for (int i = 1; i < argc; i++) {
        int width = text_length(font, argv[i]);
        int height = text_height(font);
        BITMAP *cells = create_bitmap(width, height);
        if (!cells)
            return 1;
        clear_to_color(cells, 0);
        textout_ex(cells, font, argv[i], 0, 0, 1, -1);
        for (int y = 0; y < height; y++) {
            for (int x = 0; x < width; x++)
                putchar(getpixel(cells, x, y) ? '#' : '.');
            putchar('\n');
        }
        destroy_bitmap(cells);
    }
    return 0;
}
END_OF_MAIN()

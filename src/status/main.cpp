// r64info: reports the type (or tile size), width, height and level count of an r64
// or cr file. It opens read-only, never calls r64_init (so no tile buffers exist),
// never writes, and leaves the process's end to close the file.
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>

#include "r64/r64.h"

int main(int argc, char **argv) {
    check_endian();
    if (argc < 2) {
        fprintf(stderr, "too few argments\n");
        exit(1);
    }
    if (R64_FILE *f = r64_open_file(argv[1], O_RDONLY, 0666, 'P', 0, 0); f != nullptr) {
        printf("%c %idot %idot ", f->header.type, f->header.width, f->header.height);
        int n = 0;
        while (r64_check_level(f, n) != 0) {
            ++n;
        }
        printf("%i\n", n);
        exit(0);
    }
    CR_FILE *c = cr_open_file(argv[1], O_RDONLY, 0666, 256, 0, 0);
    if (c == nullptr) {
        fprintf(stderr, "cannot open the file %s %i\n", argv[1], r64_error);
        perror("");
        exit(1);
    }
    printf("%i %idot %idot ", c->header.rect_size, c->header.h.width, c->header.h.height);
    int n = 0;
    while (cr_check_level(c, n) != 0) {
        ++n;
    }
    printf("%i\n", n);
    exit(0);
}

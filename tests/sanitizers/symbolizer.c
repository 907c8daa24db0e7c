/* The symbolizer the sanitizers start to name the functions of a report.
 *
 * A program the tests start may have the simulated printer preloaded, and in
 * a checked build that library is built with the same sanitizer: the real
 * symbolizer, started with the same environment, cannot load it and the
 * report would keep bare addresses (and the suppressions, which name
 * functions, would not apply). This program is linked statically, so the
 * preload never touches it; it drops the preload and runs the real one. */
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

int main(int argc, char** argv)
{
    (void)argc;
    unsetenv("LD_PRELOAD");
    execv(VQ_REAL_SYMBOLIZER, argv);
    perror(VQ_REAL_SYMBOLIZER);
    return 127;
}

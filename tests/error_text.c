/* Prints the system's message for each error number given, a line each, as
 * the C library it is linked with words it. Built as the handler is, it
 * gives the tests the texts the handler prints. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i)
        puts(strerror(atoi(argv[i])));
    return 0;
}

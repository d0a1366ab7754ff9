// A virtual camera client for the tests: counts itself in the instance
// counter named on the command line, says "counted" and waits to be ended
// ("end" on standard input) or killed.
#include <ClientRegistration.h>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: vcam_client_peer SECTION MUTEX\n");
        return 2;
    }
    vcam::ClientRegistration client(argv[1], argv[2]);
    client.begin();
    std::printf("counted\n");
    std::fflush(stdout);
    char line[64];
    while (std::fgets(line, sizeof line, stdin))
        if (std::strncmp(line, "end", 3) == 0)
            break;
    client.end();
    return 0;
}

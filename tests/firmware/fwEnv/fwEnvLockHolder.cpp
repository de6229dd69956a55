/*
 * A second process on the boot environment of the card root in KVR_ROOT: it
 * takes the lock, writes "L" on its standard output, and then either sets
 * a=VALUE after a pause and lets the lock go ("fwEnvLockHolder VALUE"), or ends
 * while it still holds the lock ("fwEnvLockHolder die").
 */
#include "fwEnv/fwEnv.h"

#include <cstring>
#include <unistd.h>

int main(int argc, char **argv)
{
    if (argc < 2)
        return 2;
    fwEnvInitMutex();
    fwEnvLock();
    if (write(1, "L", 1) != 1)
        return 3;
    if (strcmp(argv[1], "die") == 0)
        _exit(0);
    usleep(300000);
    const char *setArguments[] = {"fw_setenv", "a", argv[1]};
    int rc = fwEnvSetEnv(3, setArguments);
    fwEnvUnlock();
    return rc == 0 ? 0 : 1;
}

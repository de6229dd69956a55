#include "cardsim/cardsim.h"

#include "hal/hal.h"

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

/* The card's front button: a UIO node below the card root that yields one 4-byte count per press. */

static const char BUTTON_NODE[] = "/dev/uio0";

int cardsimButtonCreate(void)
{
    if (!halUnderCardRoot())
        return -1;
    std::string path = halPath(BUTTON_NODE);
    struct stat st;
    if (stat(path.c_str(), &st) == 0)
        return S_ISFIFO(st.st_mode) ? 0 : -1;
    return mkfifo(path.c_str(), 0600) == 0 || errno == EEXIST ? 0 : -1;
}

int cardsimButtonPress(uint32_t count)
{
    if (cardsimButtonCreate() != 0)
        return -1;
    /* Without a reader (no listener) the press is lost, as on the card. */
    int fd = open(halPath(BUTTON_NODE).c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;
    int rc = write(fd, &count, sizeof count) == (ssize_t)sizeof count ? 0 : -1;
    close(fd);
    return rc;
}

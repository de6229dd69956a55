#include "ProbeTempFile.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include "MessageUtil.h"
#include "TempFiles.h"

ProbeTempFile::~ProbeTempFile()
{
    if (!path.empty())
        unlink(path.c_str());
}

std::string ProbeTempFile::prepare()
{
    if (!path.empty()) {
        // Our own file: emptied in place. A file that is gone (or was replaced
        // by a link) is made anew rather than followed.
        int fd = open(path.c_str(), O_WRONLY | O_TRUNC | O_NOFOLLOW | O_CLOEXEC);
        if (fd >= 0) {
            close(fd);
            return path;
        }
        if (errno != ENOENT && errno != ELOOP) {
            MessageUtil::message("Problem opening temp file");
            return std::string();
        }
        unlink(path.c_str());
        path.clear();
    }
    std::string created;
    int fd = TempFiles::createFile("ovd", created);
    if (fd < 0) {
        MessageUtil::message("ERROR: Could not get temp file name. Please check your TMP and TMPDIR environment variables.");
        return std::string();
    }
    close(fd);
    path = created;
    return path;
}

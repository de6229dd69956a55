#include "TempFiles.h"

#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

std::string TempFiles::tempDirectory()
{
    const char *dir = getenv("TMPDIR");
    return dir != nullptr && *dir != '\0' ? dir : "/tmp";
}

int TempFiles::createFile(const char *prefix, std::string &path)
{
    std::string pattern = tempDirectory() + "/" + prefix + "XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    // mkostemp creates with O_EXCL and mode 0600.
    int fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0)
        return -1;
    path = name.data();
    return fd;
}

std::string TempFiles::createDirectory(const char *prefix)
{
    std::string pattern = tempDirectory() + "/" + prefix + "XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (mkdtemp(name.data()) == nullptr)
        return std::string();
    return name.data();
}

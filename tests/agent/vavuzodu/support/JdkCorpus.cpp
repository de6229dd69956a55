#include "support/JdkCorpus.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <ftw.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "../../../support/JvmTools.h"

namespace {

bool exists(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

std::vector<std::string> *collected;

int collect(const char *path, const struct stat *, int type, struct FTW *)
{
    std::string p(path);
    if (type == FTW_F && p.size() > 6 && p.compare(p.size() - 6, 6, ".class") == 0)
        collected->push_back(p);
    return 0;
}

} // namespace

std::vector<JdkImage> jdkImages()
{
    const JdkImage candidates[] = {
        {"openjdk-17", "/usr/lib/jvm/java-17-openjdk-amd64"},
        {"temurin-25", "/usr/lib/jvm/temurin-25-jdk-amd64"},
    };
    std::vector<JdkImage> found;
    for (const JdkImage &j : candidates)
        if (exists(j.home + "/lib/modules") && exists(j.home + "/bin/jimage"))
            found.push_back(j);
    return found;
}

std::string extractJdkClasses(const JdkImage &jdk)
{
    std::string base = std::string(KVR_BINARY_DIR) + "/jdk-classes";
    mkdir(base.c_str(), 0755);
    std::string dir = base + "/" + jdk.name;
    std::string done = dir + "/.extracted";
    int lock = open((base + "/.lock").c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0644);
    if (lock < 0)
        return "";
    flock(lock, LOCK_EX);
    if (!exists(done)) {
        std::string cmd = "rm -rf '" + dir + "' && " + jvmtools::jdkToolCommand(jdk.home, "jimage") + " extract --dir '" + dir + "' '" +
                          jdk.home + "/lib/modules' && touch '" + done + "'";
        if (std::system(cmd.c_str()) != 0)
            dir.clear();
    }
    flock(lock, LOCK_UN);
    close(lock);
    return dir;
}

std::vector<std::string> listClassFiles(const std::string &dir)
{
    std::vector<std::string> files;
    collected = &files;
    nftw(dir.c_str(), collect, 32, FTW_PHYS);
    std::sort(files.begin(), files.end());
    return files;
}

bool readFileBytes(const std::string &path, std::vector<unsigned char> &out)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

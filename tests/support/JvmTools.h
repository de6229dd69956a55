// Shell helpers for tests that compile Java, read jmods and jars, and run the
// JDKs of this machine: files, quoting, commands with their output.
#ifndef KVR_TESTS_JVMTOOLS_H
#define KVR_TESTS_JVMTOOLS_H

#include <sys/stat.h>
#include <sys/wait.h>

#include <cstddef>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace jvmtools {

const char *const JDK17_HOME = "/usr/lib/jvm/java-17-openjdk-amd64";
const char *const TEMURIN25_HOME = "/usr/lib/jvm/temurin-25-jdk-amd64";

// A JDK a test may run: the name it shows in test names, and its home.
struct Jvm {
    const char *name;
    const char *home;
};

inline bool exists(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// The JDK's java launcher is there.
inline bool installed(const Jvm &jvm) { return exists(std::string(jvm.home) + "/bin/java"); }

// The JDKs of a table that are installed here.
template <size_t N> std::vector<Jvm> installedOf(const Jvm (&jvms)[N])
{
    std::vector<Jvm> here;
    for (const Jvm &j : jvms)
        if (installed(j))
            here.push_back(j);
    return here;
}

inline std::string quote(const std::string &s) { return "'" + s + "'"; }

// The java launcher of a JDK, quoted for a shell command, with the JVM kept
// from writing its performance file under the fixed /tmp/hsperfdata_<user>
// that every JVM of this machine shares.
inline std::string javaCommand(const std::string &home) { return quote(home + "/bin/java") + " -XX:-UsePerfData"; }

// A tool of a JDK that runs on a JVM of its own (javac, javap, jimage, jar),
// quoted, kept out of /tmp/hsperfdata_<user> in the same way.
inline std::string jdkToolCommand(const std::string &home, const std::string &tool)
{
    return quote(home + "/bin/" + tool) + " -J-XX:-UsePerfData";
}

// Standard output and error of a shell command; its exit status (-1 when it
// did not exit normally).
inline int run(const std::string &command, std::string &output)
{
    output.clear();
    FILE *p = popen((command + " 2>&1").c_str(), "r");
    if (p == nullptr)
        return -1;
    char buffer[65536];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, p)) > 0)
        output.append(buffer, n);
    int status = pclose(p);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

inline bool readFile(const std::string &path, std::vector<unsigned char> &out)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

// Writes the file whole, making its directory first when needed.
inline bool writeFile(const std::string &path, const void *data, size_t length)
{
    std::string dir = path.substr(0, path.rfind('/'));
    std::string ignored;
    if (!exists(dir) && run("mkdir -p " + quote(dir), ignored) != 0)
        return false;
    FILE *f = fopen(path.c_str(), "wb");
    if (f == nullptr)
        return false;
    bool ok = fwrite(data, 1, length, f) == length;
    return fclose(f) == 0 && ok;
}

inline bool writeFile(const std::string &path, const std::vector<unsigned char> &bytes)
{
    return writeFile(path, bytes.data(), bytes.size());
}

inline bool writeFile(const std::string &path, const std::string &text)
{
    return writeFile(path, text.data(), text.size());
}

} // namespace jvmtools

#endif

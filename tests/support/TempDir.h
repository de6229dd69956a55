#ifndef KVR_TESTS_TEMPDIR_H
#define KVR_TESTS_TEMPDIR_H

#include <cstdlib>
#include <string>
#include <unistd.h>

// A private temporary directory, removed with everything in it when the object goes.
class TempDir {
public:
    TempDir()
    {
        const char *base = getenv("TMPDIR");
        std::string tmpl = std::string(base && *base ? base : "/tmp") + "/kvrtest.XXXXXX";
        char *made = mkdtemp(&tmpl[0]);
        path_ = made ? made : "";
    }
    ~TempDir()
    {
        // A thread of the code under test may still write below the directory
        // while it goes (a card root's hal log), and the removal then leaves
        // what that thread made after it looked: remove again until it is gone.
        // Once the directory is gone, nothing below it can be made again.
        for (int i = 0; i < 10 && !path_.empty() && access(path_.c_str(), F_OK) == 0; i++)
            std::system(("rm -rf '" + path_ + "'").c_str());
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::string &path() const { return path_; }
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// A private temporary directory that is TMPDIR while the object lives; the old
// value (or its absence) comes back when it goes.
class PrivateTmpdir {
public:
    PrivateTmpdir()
    {
        const char *old = getenv("TMPDIR");
        hadOld_ = old != nullptr;
        old_ = hadOld_ ? old : "";
        setenv("TMPDIR", dir_.path().c_str(), 1);
    }
    ~PrivateTmpdir()
    {
        if (hadOld_)
            setenv("TMPDIR", old_.c_str(), 1);
        else
            unsetenv("TMPDIR");
    }
    PrivateTmpdir(const PrivateTmpdir &) = delete;
    PrivateTmpdir &operator=(const PrivateTmpdir &) = delete;

    const TempDir &dir() const { return dir_; }

private:
    TempDir dir_;
    bool hadOld_ = false;
    std::string old_;
};

#endif

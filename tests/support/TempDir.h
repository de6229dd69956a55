#ifndef KVR_TESTS_TEMPDIR_H
#define KVR_TESTS_TEMPDIR_H

#include <cstdlib>
#include <string>

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
        if (!path_.empty())
            std::system(("rm -rf '" + path_ + "'").c_str());
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::string &path() const { return path_; }
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

#endif

// Every native method of the agent's Java classes that a program can reach
// under piagent is exported by libpiagent.so under its JNI name, so that the
// VM binds it instead of throwing UnsatisfiedLinkError. The natives come from
// the compiled class files (the ACC_NATIVE methods), the exports from the
// library's dynamic symbol table.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <dirent.h>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

// Natives left out of piagent on purpose, with the reason.
const std::string INSPECTION = "live-object inspection: commands 68, 80, 82, 83, 84, 88 are ignored";
const std::map<std::string, std::string> ABSENT = {
    {"com/orvane/agent/util/Evaluation.getBooleanField", INSPECTION},
    {"com/orvane/agent/util/Evaluation.getCharField", INSPECTION},
    {"com/orvane/agent/util/Evaluation.getFloatField", INSPECTION},
    {"com/orvane/agent/util/Evaluation.getDoubleField", INSPECTION},
    {"com/orvane/agent/util/Evaluation.getByteField", INSPECTION},
    {"com/orvane/agent/util/Evaluation.getShortField", INSPECTION},
    {"com/orvane/agent/util/Evaluation.getIntField", INSPECTION},
    {"com/orvane/agent/util/Evaluation.getLongField", INSPECTION},
};

// The JNI short name of a native: "Java_", the class's binary name and
// the method's name, each escaped ('/' -> '_', '_' -> "_1", ';' -> "_2",
// '[' -> "_3", any other character but ASCII letters and digits -> "_0xxxx").
std::string mangle(const std::string &text)
{
    std::string out;
    for (unsigned char c : text) {
        if (c == '/') {
            out += '_';
        } else if (c == '_') {
            out += "_1";
        } else if (c == ';') {
            out += "_2";
        } else if (c == '[') {
            out += "_3";
        } else if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
            out += static_cast<char>(c);
        } else {
            char hex[8];
            snprintf(hex, sizeof hex, "_0%04x", c);
            out += hex;
        }
    }
    return out;
}

std::string jniName(const std::string &classAndMethod)
{
    size_t dot = classAndMethod.rfind('.');
    return "Java_" + mangle(classAndMethod.substr(0, dot)) + "_" + mangle(classAndMethod.substr(dot + 1));
}

// A class file's native methods as "class.method"; false when the bytes
// are not a class file this reader understands.
class ClassReader {
public:
    explicit ClassReader(std::vector<uint8_t> bytes) : b(std::move(bytes)) {}

    bool natives(std::vector<std::string> *out)
    {
        if (u4() != 0xCAFEBABE)
            return false;
        pos += 4; // versions
        uint16_t count = u2();
        std::vector<std::string> utf8(count);
        std::vector<uint16_t> classNameIndex(count);
        for (uint16_t i = 1; i < count && ok; i++) {
            uint8_t tag = u1();
            switch (tag) {
            case 1: {
                uint16_t length = u2();
                if (pos + length > b.size())
                    return false;
                utf8[i].assign(b.begin() + static_cast<long>(pos), b.begin() + static_cast<long>(pos + length));
                pos += length;
                break;
            }
            case 7:
                classNameIndex[i] = u2();
                break;
            case 8: case 16: case 19: case 20:
                pos += 2;
                break;
            case 15:
                pos += 3;
                break;
            case 3: case 4: case 9: case 10: case 11: case 12: case 17: case 18:
                pos += 4;
                break;
            case 5: case 6:
                pos += 8;
                i++;
                break;
            default:
                return false;
            }
        }
        pos += 2; // access flags
        uint16_t self = u2();
        if (!ok || self >= count)
            return false;
        std::string className = utf8[classNameIndex[self]];
        pos += 2;          // super class
        pos += 2 * u2();   // interfaces
        skipMembers();     // fields
        uint16_t methods = u2();
        for (uint16_t m = 0; m < methods && ok; m++) {
            uint16_t access = u2();
            uint16_t name = u2();
            pos += 2; // descriptor
            skipAttributes();
            if ((access & 0x0100) != 0 && name < count)
                out->push_back(className + "." + utf8[name]);
        }
        return ok;
    }

private:
    uint8_t u1()
    {
        if (pos + 1 > b.size()) {
            ok = false;
            return 0;
        }
        return b[pos++];
    }
    uint16_t u2()
    {
        uint16_t hi = u1();
        return static_cast<uint16_t>(hi << 8 | u1());
    }
    uint32_t u4()
    {
        uint32_t hi = u2();
        return hi << 16 | u2();
    }
    void skipAttributes()
    {
        uint16_t n = u2();
        for (uint16_t i = 0; i < n && ok; i++) {
            pos += 2;
            pos += u4();
        }
    }
    void skipMembers()
    {
        uint16_t n = u2();
        for (uint16_t i = 0; i < n && ok; i++) {
            pos += 6;
            skipAttributes();
        }
    }

    std::vector<uint8_t> b;
    size_t pos = 0;
    bool ok = true;
};

void classFiles(const std::string &dir, std::vector<std::string> *out)
{
    DIR *d = opendir(dir.c_str());
    if (d == nullptr)
        return;
    while (dirent *e = readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == "..")
            continue;
        std::string path = dir + "/" + name;
        struct stat st;
        if (stat(path.c_str(), &st) != 0)
            continue;
        if (S_ISDIR(st.st_mode))
            classFiles(path, out);
        else if (name.size() > 6 && name.compare(name.size() - 6, 6, ".class") == 0)
            out->push_back(path);
    }
    closedir(d);
}

std::set<std::string> declaredNatives()
{
    std::vector<std::string> files;
    classFiles(AGENT_CLASSES, &files);
    std::set<std::string> natives;
    for (const std::string &file : files) {
        std::ifstream in(file, std::ios::binary);
        ClassReader reader(std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()));
        std::vector<std::string> found;
        EXPECT_TRUE(reader.natives(&found)) << file;
        natives.insert(found.begin(), found.end());
    }
    return natives;
}

std::set<std::string> exportedSymbols()
{
    std::set<std::string> symbols;
    std::string command = std::string("nm -D --defined-only '") + PIAGENT_PATH + "'";
    FILE *nm = popen(command.c_str(), "r");
    if (nm == nullptr)
        return symbols;
    char line[1024];
    while (fgets(line, sizeof line, nm) != nullptr) {
        std::string text = line;
        size_t space = text.find_last_of(' ');
        std::string name = text.substr(space + 1);
        while (!name.empty() && (name.back() == '\n' || name.back() == '\r'))
            name.pop_back();
        symbols.insert(name);
    }
    pclose(nm);
    return symbols;
}

TEST(PiNativesExportTest, JniNamesEscapeAsTheVmLooksThemUp)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"com/orvane/agent/Agent.getCounter", "Java_com_orvane_agent_Agent_getCounter"},
        {"com/orvane/agent/Agent.init_0", "Java_com_orvane_agent_Agent_init_10"},
        {"a/B$C.m", "Java_a_B_00024C_m"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(jniName(c.first), c.second);
}

TEST(PiNativesExportTest, EveryReachableNativeIsExported)
{
    std::set<std::string> natives = declaredNatives();
    ASSERT_FALSE(natives.empty()) << "no class files under " << AGENT_CLASSES;
    std::set<std::string> symbols = exportedSymbols();
    ASSERT_FALSE(symbols.empty()) << "no symbols read from " << PIAGENT_PATH;

    std::vector<std::string> missing, unexpected;
    for (const std::string &native : natives) {
        bool exported = symbols.count(jniName(native)) != 0;
        if (ABSENT.count(native) != 0) {
            if (exported)
                unexpected.push_back(native);
        } else if (!exported) {
            missing.push_back(native);
        }
    }
    EXPECT_EQ(missing, std::vector<std::string>{}) << "natives a program reaches that piagent does not bind";
    EXPECT_EQ(unexpected, std::vector<std::string>{}) << "natives listed as absent that are bound now: drop them from the list";

    // The list names natives that exist.
    for (const auto &entry : ABSENT)
        EXPECT_EQ(natives.count(entry.first), 1u) << entry.first;
}

} // namespace

/*
 * The firmware's modules call each other downwards only, at link level too:
 * a lower module reaches a higher one only through what the higher one
 * registered with it. This test reads the symbols of every object the daemon
 * is linked from (`nm -P -g`), resolves each undefined symbol of an object to
 * the module whose object defines it (a module is a directory directly under
 * firmware/) and fails on any circle among modules, naming the objects and
 * symbols that close it.
 *
 * From the same symbols it holds the names: every exported function starts
 * with the name of its module, but for the names the system fixes
 * (FirmwareFixedNames.h), and no function name is defined twice.
 */

#include <cctype>
#include <cstdio>
#include <cxxabi.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "FirmwareFixedNames.h"
#include "ModuleCycle.h"

namespace {

/* One object file of a module, with the global symbols it defines and the ones it needs. */
struct ModuleObject {
    std::string module;
    std::string name;
    std::set<std::string> defined;   /* strong definitions only: a weak copy of an inline function is everyone's */
    std::set<std::string> undefined;
    std::set<std::string> functions; /* the defined symbols that are code */
};

/*
 * Reads the POSIX form of nm's output ("name type [value size]" per line).
 * Weak (W, V, w, v) and unique (u) symbols count neither way.
 */
void parseNmOutput(const std::string &text, ModuleObject &object)
{
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string name, type;
        if (!(fields >> name >> type) || type.size() != 1)
            continue;
        char t = type[0];
        if (t == 'U')
            object.undefined.insert(name);
        else if (t == 'T' || t == 'D' || t == 'B' || t == 'R' || t == 'G' || t == 'S' || t == 'C')
            object.defined.insert(name);
        if (t == 'T')
            object.functions.insert(name);
    }
}

std::string readNm(const std::string &path)
{
    std::string command = "nm -P -g '" + path + "'";
    std::unique_ptr<FILE, int (*)(FILE *)> pipe(popen(command.c_str(), "r"), pclose);
    std::string text;
    if (!pipe)
        return text;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe.get())) > 0)
        text.append(buffer, n);
    return text;
}

std::string demangle(const std::string &symbol)
{
    int status = 0;
    std::unique_ptr<char, void (*)(void *)> name(abi::__cxa_demangle(symbol.c_str(), nullptr, nullptr, &status), free);
    return status == 0 && name ? std::string(name.get()) : symbol;
}

/* Edges "module -> module that defines what it needs", each shown by "object: symbol". */
ModuleGraph linkGraph(const std::vector<ModuleObject> &objects)
{
    std::map<std::string, std::set<std::string>> definedBy;
    for (const ModuleObject &object : objects)
        for (const std::string &symbol : object.defined)
            definedBy[symbol].insert(object.module);
    ModuleGraph graph;
    for (const ModuleObject &object : objects) {
        graph[object.module];
        for (const std::string &symbol : object.undefined) {
            auto found = definedBy.find(symbol);
            if (found == definedBy.end())
                continue;
            for (const std::string &module : found->second)
                if (module != object.module)
                    graph[object.module][module].insert(object.name + ": " + demangle(symbol));
        }
    }
    return graph;
}

/*
 * The name of a function that is neither a member nor in a namespace: the
 * identifier of "_Z<length><name><parameters>", or the symbol itself for a C
 * function. "" for any other symbol.
 */
std::string freeFunctionName(const std::string &symbol)
{
    if (symbol.compare(0, 2, "_Z") != 0)
        return symbol;
    size_t at = 2;
    size_t length = 0;
    while (at < symbol.size() && isdigit((unsigned char)symbol[at]))
        length = length * 10 + (size_t)(symbol[at++] - '0');
    if (at == 2 || at + length > symbol.size())
        return "";
    return symbol.substr(at, length);
}

/*
 * What breaks the naming rule: "module: name" for a function that neither
 * starts with its module's name nor is one of the fixed names, "name defined
 * in a/x.cpp.o and b/y.cpp.o" for a name defined more than once, and "fixed
 * name no longer defined: name" for a fixed name nothing defines.
 */
std::vector<std::string> namingFaults(const std::vector<ModuleObject> &objects, const std::set<std::string> &fixed)
{
    std::vector<std::string> faults;
    std::map<std::string, std::vector<std::string>> definedIn;
    for (const ModuleObject &object : objects)
        for (const std::string &symbol : object.functions) {
            std::string name = freeFunctionName(symbol);
            if (name.empty())
                continue;
            definedIn[name].push_back(object.module + "/" + object.name);
            if (name.compare(0, object.module.size(), object.module) != 0 && !fixed.count(name))
                faults.push_back(object.module + ": " + name);
        }
    for (const auto &name : definedIn)
        if (name.second.size() > 1) {
            std::string where;
            for (const std::string &object : name.second)
                where += (where.empty() ? "" : " and ") + object;
            faults.push_back(name.first + " defined in " + where);
        }
    for (const std::string &name : fixed)
        if (!definedIn.count(name))
            faults.push_back("fixed name no longer defined: " + name);
    return faults;
}

/*
 * The module of an object built below <binary>/firmware: the directory after
 * kvrfw.dir for the library's objects (every module adds its sources to it),
 * else the directory whose CMakeLists.txt built it (the daemon's main, the
 * hal's emulator choice).
 */
std::string moduleOfObject(const std::string &firmwareBinaryDir, const std::string &objectPath)
{
    std::string path = std::filesystem::path(objectPath).lexically_normal().string();
    std::string prefix = firmwareBinaryDir + "/";
    if (path.compare(0, prefix.size(), prefix) != 0)
        return "";
    std::string rest = path.substr(prefix.size());
    static const std::string library = "CMakeFiles/kvrfw.dir/";
    if (rest.compare(0, library.size(), library) == 0)
        rest = rest.substr(library.size());
    size_t slash = rest.find('/');
    return slash == std::string::npos ? "" : rest.substr(0, slash);
}

/* The objects the daemon is linked from, as the build wrote them down. */
std::vector<ModuleObject> readFirmwareObjects(const std::string &listFile, const std::string &firmwareBinaryDir)
{
    std::vector<ModuleObject> objects;
    std::ifstream list(listFile);
    std::string path;
    while (std::getline(list, path)) {
        if (path.empty())
            continue;
        ModuleObject object;
        object.module = moduleOfObject(firmwareBinaryDir, path);
        object.name = path.substr(path.rfind('/') + 1);
        EXPECT_FALSE(object.module.empty()) << "an object outside firmware/: " << path;
        std::string text = readNm(path);
        EXPECT_FALSE(text.empty()) << "nm read nothing from " << path;
        parseNmOutput(text, object);
        objects.push_back(object);
    }
    return objects;
}

TEST(LinkGraph, ReadsNmOutput)
{
    /* The form nm -P -g prints for an object: undefined symbols carry no value. */
    const std::string text = "_GLOBAL_OFFSET_TABLE_ U         \n"
                              "_Z10sfpGetCagev T d00 ad\n"
                              "_Z14strata_sendmsgjjtPKhj U         \n"
                              "sfpProbingAction D 40 58\n"
                              "sfpCounter B 0 4\n"
                              "sfpNames R 10 20\n"
                              "_ZN6helperC2Ev W 0 1c\n"
                              "_ZTV6helper V 0 18\n"
                              "_ZZ4fooE5value u 0 4\n"
                              "garbage\n"
                              "\n";
    ModuleObject object;
    parseNmOutput(text, object);
    EXPECT_EQ(object.defined, (std::set<std::string>{"_Z10sfpGetCagev", "sfpProbingAction", "sfpCounter", "sfpNames"}));
    EXPECT_EQ(object.undefined, (std::set<std::string>{"_GLOBAL_OFFSET_TABLE_", "_Z14strata_sendmsgjjtPKhj"}));
}

TEST(LinkGraph, FindsCirclesAmongObjects)
{
    struct Case {
        const char *name;
        std::vector<ModuleObject> objects;
        const char *cycle;
    };
    const Case cases[] = {
        {"downward calls only",
         {{"a", "a.cpp.o", {"_Z1av"}, {"_Z1bv"}, {}}, {"b", "b.cpp.o", {"_Z1bv"}, {"_Z1cv"}, {}}, {"c", "c.cpp.o", {"_Z1cv"}, {}, {}}},
         ""},
        {"a lower module names a higher one's table",
         {{"low", "lists.cpp.o", {"lists"}, {"highService"}, {}}, {"high", "high.cpp.o", {"highService"}, {"lists"}, {}}},
         "high -> low (high.cpp.o: lists) -> high (lists.cpp.o: highService)"},
        {"three modules through a call back",
         {{"a", "a.cpp.o", {"_Z1av"}, {"_Z1bv"}, {}}, {"b", "b.cpp.o", {"_Z1bv"}, {"_Z1cv"}, {}}, {"c", "c.cpp.o", {"_Z1cv"}, {"_Z1av"}, {}}},
         "a -> b (a.cpp.o: b()) -> c (b.cpp.o: c()) -> a (c.cpp.o: a())"},
        {"calls inside one module are no edge",
         {{"a", "a1.cpp.o", {"_Z2a1v"}, {"_Z2a2v"}, {}}, {"a", "a2.cpp.o", {"_Z2a2v"}, {"_Z2a1v"}, {}}}, ""},
        {"symbols nobody in the firmware defines are no edge",
         {{"a", "a.cpp.o", {"_Z1av"}, {"log4c_category_log", "_Z1xv"}, {}}, {"b", "b.cpp.o", {}, {"_Z1av", "_Z1xv"}, {}}}, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(findCycle(linkGraph(c.objects)), c.cycle);
    }
}

TEST(LinkGraph, ObjectsBelongToTheirModules)
{
    const std::string fw = "/b/firmware";
    EXPECT_EQ(moduleOfObject(fw, "/b/firmware/CMakeFiles/kvrfw.dir/probing/probingTarget.cpp.o"), "probing");
    EXPECT_EQ(moduleOfObject(fw, "/b/firmware/CMakeFiles/kvrfw.dir/shared/LoudnessMeasure/src/loudnessmeasure.cpp.o"),
              "shared");
    EXPECT_EQ(moduleOfObject(fw, "/b/firmware/CMakeFiles/kvrfw.dir/./sfp/sfp.cpp.o"), "sfp");
    EXPECT_EQ(moduleOfObject(fw, "/b/firmware/main/CMakeFiles/kvr-firmware.dir/main.cpp.o"), "main");
    EXPECT_EQ(moduleOfObject(fw, "/b/firmware/hal/CMakeFiles/kvrhalEmulator.dir/halEmulator.cpp.o"), "hal");
    EXPECT_EQ(moduleOfObject(fw, "/b/tools/cardsim/CMakeFiles/cardsim.dir/cardsim.cpp.o"), "");
}

TEST(LinkGraph, FunctionNamesFromSymbols)
{
    const struct {
        const char *symbol;
        const char *name;
    } cases[] = {
        {"_Z10sfpGetCagev", "sfpGetCage"},
        {"_Z21probingRegisterTargetjPK15probingTarget_t", "probingRegisterTarget"},
        {"main", "main"},
        {"_ZN6helper3runEv", ""},
        {"_Z99short", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.symbol);
        EXPECT_EQ(freeFunctionName(c.symbol), c.name);
    }
}

TEST(LinkGraph, NamesStartWithTheirModuleOnceEach)
{
    struct Case {
        const char *name;
        std::vector<ModuleObject> objects;
        std::vector<std::string> faults;
    };
    const std::set<std::string> fixed = {"strata_sendmsg", "DPM_init"};
    const Case cases[] = {
        {"module names and fixed names",
         {{"strata", "a.cpp.o", {}, {}, {"_Z14strata_sendmsgv", "_Z12strataAnswerv"}},
          {"layoutManager", "b.cpp.o", {}, {}, {"_Z8DPM_initv", "_ZN3ns6helperEv", "_Z17layoutManagerInitv"}}},
         {}},
        {"a name outside its module",
         {{"strata", "a.cpp.o", {}, {}, {"_Z14strata_sendmsgv", "_Z14platformAnswerv"}},
          {"layoutManager", "b.cpp.o", {}, {}, {"_Z8DPM_initv", "_Z10layoutInitv"}}},
         {"strata: platformAnswer", "layoutManager: layoutInit"}},
        {"one name in two modules",
         {{"strata", "a.cpp.o", {}, {}, {"_Z14strata_sendmsgv"}},
          {"layoutManager", "b.cpp.o", {}, {}, {"_Z8DPM_initv", "_Z14strata_sendmsgj"}}},
         {"strata_sendmsg defined in strata/a.cpp.o and layoutManager/b.cpp.o"}},
        {"a fixed name nobody defines any more",
         {{"strata", "a.cpp.o", {}, {}, {"_Z14strata_sendmsgv"}}},
         {"fixed name no longer defined: DPM_init"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(namingFaults(c.objects, fixed), c.faults);
    }
}

TEST(LinkGraph, FirmwareFunctionsAreNamedForTheirModules)
{
    std::vector<ModuleObject> objects = readFirmwareObjects(KVR_FIRMWARE_OBJECTS, KVR_BINARY_DIR "/firmware");
    ASSERT_GT(objects.size(), 50u);
    std::set<std::string> fixed(std::begin(firmwareFixedNames), std::end(firmwareFixedNames));
    std::vector<std::string> faults = namingFaults(objects, fixed);
    std::string text;
    for (const std::string &fault : faults)
        text += "\n  " + fault;
    EXPECT_TRUE(faults.empty()) << "functions named against the rule:" << text;
}

TEST(LinkGraph, FirmwareModulesCallNoCircle)
{
    std::vector<ModuleObject> objects = readFirmwareObjects(KVR_FIRMWARE_OBJECTS, KVR_BINARY_DIR "/firmware");
    ASSERT_GT(objects.size(), 50u);
    ModuleGraph graph = linkGraph(objects);
    ASSERT_GT(graph.size(), 10u);
    EXPECT_EQ(findCycle(graph), "") << "the firmware's modules call each other in a circle";
}

} // namespace

#ifndef KVR_TOOLS_FRONTEND_REGISTRY_H
#define KVR_TOOLS_FRONTEND_REGISTRY_H

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

class WireReader;

// A class description as the agent sends it.
struct ClassInfo {
    uint64_t id = 0;
    std::string name;
    std::string displayName;
    uint32_t componentType = 0;
    uint64_t classMethod = 0;
    uint64_t packageMethod = 0;
    uint64_t displayClassMethod = 0;
    bool hasFieldInfo = false;
    uint32_t staticFields = 0;
    uint32_t instanceFields = 0;
    uint64_t superClass = 0;
    bool unloaded = false;
};

// A method description.
struct MethodInfo {
    uint64_t id = 0;
    uint64_t classId = 0;
    std::string name;
    std::string signature;
};

// What the front end knows of the agent's classes and methods, filled from
// replies that carry descriptions (command 60 and the views).
class Registry {
public:
    // Reads method records up to byte 0. False on a malformed body.
    bool readMethods(WireReader &reader, unsigned idWidth);
    // Reads class records up to byte 0.
    bool readClasses(WireReader &reader, unsigned idWidth);
    // The body of command 60: methods, then classes. Returns what was new.
    bool readGetClassesReply(const std::vector<uint8_t> &body, unsigned idWidth, std::vector<MethodInfo> *newMethods,
                             std::vector<ClassInfo> *newClasses);

    const MethodInfo *method(uint64_t id) const;
    const ClassInfo *classOf(uint64_t id) const;
    // The classes of that (dotted) name, in ID order: the agent may describe
    // one class by more than one record (one per loader, or one from loading
    // and one from preparing). Empty when no description named it yet.
    std::vector<const ClassInfo *> classesNamed(const std::string &name) const;
    // "Class.method" for a method id; the id in hex when unknown.
    std::string describe(uint64_t methodId) const;
    // Auto-tuning took the method's hooks: its calls are no longer counted.
    // The agent says so once, so it is kept for the whole connection.
    void markHooksRemoved(uint64_t methodId) { hooksRemoved_.insert(methodId); }
    bool hooksRemoved(uint64_t methodId) const { return hooksRemoved_.count(methodId) != 0; }
    size_t methodCount() const { return methods_.size(); }
    size_t classCount() const { return classes_.size(); }

private:
    std::map<uint64_t, MethodInfo> methods_;
    std::map<uint64_t, ClassInfo> classes_;
    std::set<uint64_t> hooksRemoved_;
    std::vector<MethodInfo> lastMethods_;
    std::vector<ClassInfo> lastClasses_;
};

#endif

#ifndef AGENT_METHODDESC_H
#define AGENT_METHODDESC_H

#include <functional>
#include <string>

#include "ClassData.h"
#include "PointerHashMap.h"
#include "PointerHashSet.h"

class ClassData;
class ClassProfilingSession;
class DataReader;
class DataWriter;
class ProfilingSession;

// One method (or pseudo method standing for a class, a package or a probe).
// Call trees, hotspots and snapshots refer to it by identity; the front end
// receives its description once. Owned by the method list of its session;
// per-class copies are owned by the descriptor they were made from.
class MethodDesc {
public:
    // Prefix of the native-method wrappers the VM sees.
    static const char *const NATIVE_PREFIX;

    // Copies name and signature (lengths in bytes, -1 for NUL-terminated)
    // and computes the filter flags from `filterName` (a dotted class name;
    // null: never filtered).
    MethodDesc(ClassData *classData, const char *name, int nameLength, const char *signature, int sigLength,
               ClassProfilingSession *session, const char *filterName);
    ~MethodDesc();
    MethodDesc(const MethodDesc &) = delete;
    MethodDesc &operator=(const MethodDesc &) = delete;

    ClassData *getClassData() const { return classData; }
    const char *getMethodName() const { return name.c_str(); }
    const char *getMethodSignature() const { return signature.c_str(); }
    void *getMethodId() const { return methodId; }
    void setMethodId(void *id) { methodId = id; }
    bool getSent() const { return sent; }
    void setSent(bool value) { sent = value; }
    void setIsViewFiltered(bool value) { isViewFiltered = value; }
    void setHasDisplayName(bool value) { hasDisplayName = value; }
    bool getHasDisplayName() const { return hasDisplayName; }
    bool getIsNativePrefixMethod() const { return isNativePrefixMethod; }
    bool getIsFilteredFlag() const { return isFiltered; }
    bool getIsFilteredWithoutPackageFlag() const { return isFilteredWithoutPackage; }
    void setIsFiltered(bool value) { isFiltered = value; }

    // Whether calls into this method are recorded only as calls into the
    // filtered area. `strict` ignores the package-less rule; `componentCheck`
    // also filters the methods of component types 10 and 12. Inline: every
    // recorded method entry asks.
    bool getIsFiltered(bool strict, bool componentCheck) const
    {
        if (classData == nullptr || classData->getIsAgentClass() || isNativePrefixMethod)
            return true;
        if (componentCheck && (classData->getComponentType() == 10 || classData->getComponentType() == 12))
            return true;
        if (strict)
            return isFiltered;
        return isFiltered || (isFilteredWithoutPackage && !hasDisplayName && classData->getDisplayName() == nullptr);
    }
    // Whether the front end hides it (false when `check` is false).
    bool getIsViewFiltered(bool check) const;
    // Recomputes the filter flags of this descriptor and its per-class copies.
    void updateFilters(ClassProfilingSession *session);
    // This descriptor for its own class, else its copy for `specific`, made on
    // first request under the heap lock of `profilingSession`.
    MethodDesc *getMethodDescForSpecificClassData(ClassData *specific, ProfilingSession *profilingSession);
    // Visits the per-class copies.
    template <class F>
    void forEachCopy(F visit)
    {
        if (copies == nullptr)
            return;
        PHMIterator<MethodDesc, ClassData *> it(copies);
        while (MethodDesc *copy = it.next())
            visit(copy);
    }

    // The MethodDesc record, followed by the records of its per-class copies.
    void write(DataWriter *writer) const;
    // The same, with `after` called after each record (the class section
    // puts the method's statistics there).
    void write(DataWriter *writer, const std::function<void(const MethodDesc *)> &after) const;
    // Reads a record of a snapshot after its byte 1: the stored ID now means
    // the new descriptor (never null; the reader's error tells whether the
    // stream ended inside it, and the reader's map may already name it, so
    // the caller keeps it); its class is resolved once the reader knows it.
    // Filter flags are set by updateFilters once the classes are resolved.
    static MethodDesc *read(DataReader *reader);

    // Statistics fields of CPU profiling.
    long long statTime = 0;
    long long statCount = 0;
    int autoTuneLimit = 50;
    unsigned char statFlag = 0;

private:
    void computeFilters(ClassProfilingSession *session, const char *filterName);
    void writeOne(DataWriter *writer) const;

    void *methodId = nullptr;
    ClassData *classData;
    std::string name;
    std::string signature;
    std::string filterName;
    bool hasFilterName;
    bool sent = false;
    bool isViewFiltered = false;
    bool isFiltered = false;
    bool isFilteredWithoutPackage = false;
    bool hasDisplayName = false;
    PointerHashMap<MethodDesc, ClassData *> *copies = nullptr;
    bool isNativePrefixMethod = false;
    PointerHashSet<ClassData> callingClasses;
};

#endif

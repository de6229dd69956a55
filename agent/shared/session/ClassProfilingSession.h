#ifndef AGENT_CLASSPROFILINGSESSION_H
#define AGENT_CLASSPROFILINGSESSION_H

#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

class ClassData;
class DataReader;
class DataWriter;
class MethodDesc;
class ProfilingSession;

// The classes and methods of a session: owns the two lists, decides which
// classes are filtered (recorded only as calls into the filtered area) and
// view-filtered (hidden by the front end), and writes the descriptions the
// front end does not have yet. The lists change under the class lock of the
// owning session.
class ClassProfilingSession {
public:
    explicit ClassProfilingSession(ProfilingSession *session);
    virtual ~ClassProfilingSession();
    ClassProfilingSession(const ClassProfilingSession &) = delete;
    ClassProfilingSession &operator=(const ClassProfilingSession &) = delete;

    // Takes ownership and appends; the first "java.lang.Class" is remembered.
    virtual void addClassData(ClassData *classData);
    // Takes ownership and appends; null is ignored.
    virtual void addMethodDesc(MethodDesc *methodDesc);

    // Whether the dotted class name is filtered by the class filters. With
    // `requirePackage`, a class of the default package never is.
    bool isFilteredClassName(const char *dottedName, bool requirePackage);
    bool isFilteredClassNameSlash(const char *slashName, bool requirePackage);
    // Whether the front end's view filters hide the name.
    bool isViewFilteredClassName(const char *name);
    // Installs the class filters (dotted form); every method recomputes its flags.
    void setFilters(const std::vector<std::string> &dottedFilters, bool inclusive);
    bool areFiltersSet() const { return filtersSet; }
    bool hasViewFilters() const { return !viewFilters.empty(); }

    // Command 60: the method records not yet sent, byte 0, the class records
    // not yet sent, byte 0; all written records are marked sent.
    void handleCmdGetClasses(DataWriter *writer);
    // Command 34: U4 n and n strings replace the view filters; every class
    // and pseudo method recomputes its view-filter flag. No reply data.
    void handleCmdSetViewFilter(DataReader *reader);
    // The next command 60 sends everything again (a new front end).
    void resetDifferentialDataTransfer();
    // Records, each list closed by byte 0; with onlyUnsent only the records
    // not yet sent, which are then marked sent.
    void writeClassDescriptions(DataWriter *writer, bool onlyUnsent);
    void writeMethodDescriptions(DataWriter *writer, bool onlyUnsent);
    // The unsent method and class descriptions of `classes`, or two empty lists without a session.
    static void writeUnsentDescriptions(ClassProfilingSession *classes, DataWriter *writer);
    // U4 count, the dotted filters, byte inclusive.
    void writeFilterParameters(DataWriter *writer);
    // The class section of a snapshot: every class record, byte 0; every
    // method record, each followed by what `statistics` writes for it, byte 0;
    // the filter parameters.
    void write(DataWriter *writer, const std::function<void(DataWriter *, const MethodDesc *)> &statistics);
    // Reads what write wrote (snapshot `version`) into this session: the
    // records are added, the reader's IDs resolved, the filters installed.
    // `statistics` reads what follows each method record and returns false
    // when it is unusable. False when the section is.
    bool read(DataReader *reader, int version, const std::function<bool(DataReader *, MethodDesc *)> &statistics);

    ProfilingSession *getProfilingSession() const { return profilingSession; }
    // The pseudo method of probe `name` in the probes' pseudo class, made on
    // first use (with the class, unless a subclass made it before).
    MethodDesc *getAnnotationMethodDesc(const char *name);
    ClassData *getAnnotationClassData() const { return annotationClassData; }
    ClassData *getJavaLangClassData() const { return javaLangClassData; }
    // Copies of the lists (taken under the class lock).
    std::vector<ClassData *> getClasses();
    std::vector<MethodDesc *> getMethods();

protected:
    // Classes the agent never instruments under the call-tree collection
    // method 1; none here.
    virtual bool isHardFiltered(const char *dottedName);

    // Makes the probes' pseudo class now; the class lock is held or not yet needed.
    void makeAnnotationClassData();

    ProfilingSession *profilingSession;

private:
    std::vector<std::string> filters;
    std::vector<std::string> slashFilters;
    bool isInclusiveFilter;
    bool filtersSet;
    std::vector<MethodDesc *> methods;
    std::vector<ClassData *> classes;
    std::vector<std::string> viewFilters;
    ClassData *javaLangClassData;
    ClassData *annotationClassData = nullptr;
    // Pseudo methods by probe name; guarded by the class lock.
    std::unordered_map<std::string, MethodDesc *> annotationNameToMethodDesc;
};

#endif

#include "ClassProfilingSession.h"

#include <algorithm>
#include <cstring>

#include "ClassData.h"
#include "ClassProfilingHelper.h"
#include "DataReader.h"
#include "DataWriter.h"
#include "InternalMonitor.h"
#include "MethodDesc.h"
#include "ProfilingSession.h"

namespace {

std::vector<const char *> pointersOf(const std::vector<std::string> &texts)
{
    std::vector<const char *> result;
    for (const std::string &t : texts)
        result.push_back(t.c_str());
    return result;
}

bool filterTest(const char *name, const std::vector<std::string> &list, char separator, bool invert, bool wildcard)
{
    std::vector<const char *> p = pointersOf(list);
    return ClassProfilingHelper::isFilteredClassName(name, p.data(), static_cast<int>(p.size()), separator, invert, wildcard);
}

// Holds the session's class lock for a scope.
class ClassLock {
public:
    explicit ClassLock(ProfilingSession *s) : session(s) { session->enterMonitor(IM_CLASS); }
    ~ClassLock() { session->exitMonitor(IM_CLASS, false); }
    ClassLock(const ClassLock &) = delete;
    ClassLock &operator=(const ClassLock &) = delete;

private:
    ProfilingSession *session;
};

} // namespace

ClassProfilingSession::ClassProfilingSession(ProfilingSession *session)
    : profilingSession(session), isInclusiveFilter(false), filtersSet(false), javaLangClassData(nullptr)
{
    for (int i = 0; i < ClassData::NON_INSTANCE_CLASS_COUNT; i++)
        g_nonInstanceClassData[i].setArrayType(i);
}

ClassProfilingSession::~ClassProfilingSession()
{
    for (MethodDesc *m : methods)
        delete m;
    for (ClassData *c : classes)
        delete c;
}

void ClassProfilingSession::addClassData(ClassData *classData)
{
    if (classData == nullptr)
        return;
    ClassLock lock(profilingSession);
    classes.push_back(classData);
    if (javaLangClassData == nullptr && classData->getIsJavaLangClass())
        javaLangClassData = classData;
}

void ClassProfilingSession::addMethodDesc(MethodDesc *methodDesc)
{
    if (methodDesc == nullptr)
        return;
    ClassLock lock(profilingSession);
    methods.push_back(methodDesc);
}

bool ClassProfilingSession::isHardFiltered(const char *)
{
    return false;
}

bool ClassProfilingSession::isFilteredClassName(const char *dottedName, bool requirePackage)
{
    if (dottedName == nullptr)
        return false;
    if (profilingSession->getCallTreeCollectionMethod() == 1 && isHardFiltered(dottedName))
        return true;
    if (!filtersSet)
        return false;
    return filterTest(dottedName, filters, requirePackage ? '.' : '\0', isInclusiveFilter, false);
}

bool ClassProfilingSession::isFilteredClassNameSlash(const char *slashName, bool requirePackage)
{
    if (slashName == nullptr)
        return false;
    if (profilingSession->getCallTreeCollectionMethod() == 1) {
        std::string dotted(slashName);
        std::replace(dotted.begin(), dotted.end(), '/', '.');
        if (isHardFiltered(dotted.c_str()))
            return true;
    }
    if (!filtersSet)
        return false;
    return filterTest(slashName, slashFilters, requirePackage ? '/' : '\0', isInclusiveFilter, false);
}

bool ClassProfilingSession::isViewFilteredClassName(const char *name)
{
    if (viewFilters.empty() || name == nullptr)
        return false;
    return filterTest(name, viewFilters, '\0', true, true);
}

void ClassProfilingSession::setFilters(const std::vector<std::string> &dottedFilters, bool inclusive)
{
    ClassLock lock(profilingSession);
    filters = dottedFilters;
    slashFilters = dottedFilters;
    for (std::string &f : slashFilters)
        std::replace(f.begin(), f.end(), '.', '/');
    isInclusiveFilter = inclusive;
    filtersSet = true;
    for (MethodDesc *m : methods)
        m->updateFilters(this);
}

void ClassProfilingSession::writeClassDescriptions(DataWriter *writer, bool onlyUnsent)
{
    ClassLock lock(profilingSession);
    for (ClassData *c : classes) {
        if (onlyUnsent && c->getSent())
            continue;
        c->write(writer);
        if (onlyUnsent)
            c->setSent(true);
    }
    writer->writeByte(0);
}

void ClassProfilingSession::writeMethodDescriptions(DataWriter *writer, bool onlyUnsent)
{
    ClassLock lock(profilingSession);
    for (MethodDesc *m : methods) {
        if (onlyUnsent && m->getSent())
            continue;
        m->write(writer);
        if (onlyUnsent)
            m->setSent(true);
    }
    writer->writeByte(0);
}

void ClassProfilingSession::writeFilterParameters(DataWriter *writer)
{
    writer->writeU4(static_cast<uint32_t>(filters.size()));
    for (const std::string &f : filters)
        writer->writeString(f.c_str());
    writer->writeByte(isInclusiveFilter ? 1 : 0);
}

void ClassProfilingSession::write(DataWriter *writer, const std::function<void(DataWriter *, const MethodDesc *)> &statistics)
{
    ClassLock lock(profilingSession);
    writeClassDescriptions(writer, false);
    for (MethodDesc *m : methods)
        m->write(writer, [&](const MethodDesc *record) { statistics(writer, record); });
    writer->writeByte(0);
    writeFilterParameters(writer);
}

bool ClassProfilingSession::read(DataReader *reader, int version, const std::function<bool(DataReader *, MethodDesc *)> &statistics)
{
    std::vector<ClassData *> readClasses;
    for (int more = reader->readByte(0); more == 1; more = reader->readByte(0)) {
        ClassData *c = new ClassData();
        bool whole = c->read(reader, version, this);
        addClassData(c);
        readClasses.push_back(c);
        if (!whole)
            return false;
    }
    for (int more = reader->readByte(0); more == 1; more = reader->readByte(0)) {
        MethodDesc *m = MethodDesc::read(reader);
        addMethodDesc(m);
        if (reader->getError() || !statistics(reader, m))
            return false;
    }
    if (reader->getError())
        return false;
    reader->updateIDs();
    std::vector<std::string> dotted;
    uint32_t count = reader->readU4(0);
    for (uint32_t i = 0; i < count && !reader->getError(); i++) {
        char *text = reader->readString(nullptr);
        if (text == nullptr)
            break;
        dotted.emplace_back(text);
        delete[] text;
    }
    bool inclusive = version != 1 && reader->readByte(0) == 1;
    if (reader->getError())
        return false;
    setFilters(dotted, inclusive);
    reader->updateIDs();
    for (ClassData *c : readClasses) {
        if (c->getDisplayName() != nullptr && c->classMethodDesc != nullptr)
            c->classMethodDesc->setHasDisplayName(true);
    }
    return true;
}

void ClassProfilingSession::handleCmdGetClasses(DataWriter *writer)
{
    writeMethodDescriptions(writer, true);
    writeClassDescriptions(writer, true);
}

void ClassProfilingSession::writeUnsentDescriptions(ClassProfilingSession *classes, DataWriter *writer)
{
    if (classes == nullptr) {
        writer->writeByte(0);
        writer->writeByte(0);
        return;
    }
    classes->handleCmdGetClasses(writer);
}

void ClassProfilingSession::handleCmdSetViewFilter(DataReader *reader)
{
    uint32_t count = reader->readU4(0);
    std::vector<std::string> received;
    for (uint32_t i = 0; i < count && !reader->getError(); i++) {
        char *text = reader->readString(nullptr);
        if (text == nullptr)
            break;
        received.emplace_back(text);
        delete[] text;
    }
    ClassLock lock(profilingSession);
    viewFilters = received;
    for (ClassData *c : classes) {
        if (!c->isPseudoClass())
            c->setIsViewFiltered(isViewFilteredClassName(c->getClassName()));
    }
    for (MethodDesc *m : methods) {
        if (m->getClassData() != nullptr && m->getClassData()->isPseudoClass())
            m->setIsViewFiltered(isViewFilteredClassName(m->getMethodName()));
    }
}

void ClassProfilingSession::resetDifferentialDataTransfer()
{
    ClassLock lock(profilingSession);
    for (ClassData *c : classes)
        c->setSent(false);
    for (MethodDesc *m : methods) {
        m->setSent(false);
        m->forEachCopy([](MethodDesc *copy) { copy->setSent(false); });
    }
}

std::vector<ClassData *> ClassProfilingSession::getClasses()
{
    ClassLock lock(profilingSession);
    return classes;
}

std::vector<MethodDesc *> ClassProfilingSession::getMethods()
{
    ClassLock lock(profilingSession);
    return methods;
}

void ClassProfilingSession::makeAnnotationClassData()
{
    if (annotationClassData != nullptr)
        return;
    annotationClassData = new ClassData("_orvane_annotation_class", ClassData::COMPONENT_ANNOTATION);
    ClassProfilingSession::addClassData(annotationClassData);
}

MethodDesc *ClassProfilingSession::getAnnotationMethodDesc(const char *name)
{
    profilingSession->enterMonitor(IM_THREAD | IM_CLASS);
    makeAnnotationClassData();
    MethodDesc *&slot = annotationNameToMethodDesc[name];
    if (slot == nullptr) {
        slot = new MethodDesc(annotationClassData, name, -1, "()V", -1, this, nullptr);
        addMethodDesc(slot);
    }
    MethodDesc *result = slot;
    profilingSession->exitMonitor(IM_THREAD | IM_CLASS, false);
    return result;
}

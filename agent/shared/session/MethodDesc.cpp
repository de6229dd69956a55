#include "MethodDesc.h"

#include <cstring>

#include "ClassData.h"
#include "ClassProfilingSession.h"
#include "DataReader.h"
#include "DataWriter.h"
#include "InternalMonitor.h"
#include "ProfilingSession.h"

namespace {

const char *const JSP_SERVICE = "_jspService";
const char *const JSP_SERVICE_SIGNATURE = "(Ljavax/servlet/http/HttpServletRequest;Ljavax/servlet/http/HttpServletResponse;)V";

std::string copyText(const char *text, int length)
{
    if (text == nullptr)
        return std::string();
    return length < 0 ? std::string(text) : std::string(text, static_cast<size_t>(length));
}

} // namespace

const char *const MethodDesc::NATIVE_PREFIX = "__orvane_nmp_";

MethodDesc::MethodDesc(ClassData *owner, const char *methodName, int nameLength, const char *sig, int sigLength,
                       ClassProfilingSession *session, const char *filter)
    : classData(owner), name(copyText(methodName, nameLength)), signature(copyText(sig, sigLength)),
      filterName(filter != nullptr ? filter : ""), hasFilterName(filter != nullptr), callingClasses(11, 0.75f)
{
    computeFilters(session, filter);
}

MethodDesc::~MethodDesc()
{
    if (copies != nullptr)
        copies->deleteValues();
    delete copies;
}

void MethodDesc::computeFilters(ClassProfilingSession *session, const char *filter)
{
    isFiltered = isFilteredWithoutPackage = false;
    if (name == JSP_SERVICE && signature == JSP_SERVICE_SIGNATURE) {
        if (classData != nullptr && classData->classMethodDesc != nullptr)
            classData->classMethodDesc->setIsFiltered(false);
    } else if (filter != nullptr && session != nullptr) {
        isFiltered = session->isFilteredClassName(filter, true);
        if (!isFiltered)
            isFilteredWithoutPackage = session->isFilteredClassName(filter, false);
    }
    isNativePrefixMethod = name.compare(0, strlen(NATIVE_PREFIX), NATIVE_PREFIX) == 0;
}

bool MethodDesc::getIsViewFiltered(bool check) const
{
    if (classData != nullptr && !classData->isPseudoClass())
        return classData->getIsViewFiltered(check);
    return check && isViewFiltered;
}

void MethodDesc::updateFilters(ClassProfilingSession *session)
{
    int component = classData != nullptr ? classData->getComponentType() : 0;
    if (component == ClassData::COMPONENT_CUMULATION) {
        computeFilters(session, name.c_str());
    } else if (component == ClassData::COMPONENT_ANNOTATION) {
        computeFilters(nullptr, nullptr);
    } else {
        computeFilters(session, classData != nullptr ? classData->getClassName() : nullptr);
    }
    forEachCopy([session](MethodDesc *copy) { copy->updateFilters(session); });
}

MethodDesc *MethodDesc::getMethodDescForSpecificClassData(ClassData *specific, ProfilingSession *profilingSession)
{
    if (specific == nullptr || specific == classData)
        return this;
    profilingSession->enterMonitor(IM_HEAP);
    if (copies == nullptr)
        copies = new PointerHashMap<MethodDesc, ClassData *>(11, 0.75f);
    MethodDesc *copy = copies->get(specific);
    if (copy == nullptr) {
        copy = new MethodDesc(specific, name.c_str(), -1, signature.c_str(), -1, specific->getSession(), specific->getClassName());
        copies->put(specific, copy);
        sent = false;
    }
    profilingSession->exitMonitor(IM_HEAP, false);
    return copy;
}

void MethodDesc::writeOne(DataWriter *writer) const
{
    writer->writeByte(1);
    writer->writeID(this);
    writer->writeID(classData);
    writer->writeString(name.c_str());
    writer->writeString(signature.c_str());
}

MethodDesc *MethodDesc::read(DataReader *reader)
{
    MethodDesc *m = new MethodDesc(nullptr, "", 0, "", 0, nullptr, nullptr);
    reader->readOldID(m);
    reader->readUpdatableID(reinterpret_cast<void **>(&m->classData));
    char *text = reader->readString(nullptr);
    if (text != nullptr) {
        m->name = text;
        delete[] text;
        text = reader->readString(nullptr);
    }
    if (text != nullptr) {
        m->signature = text;
        delete[] text;
    }
    m->isNativePrefixMethod = m->name.compare(0, strlen(NATIVE_PREFIX), NATIVE_PREFIX) == 0;
    return m;
}

void MethodDesc::write(DataWriter *writer, const std::function<void(const MethodDesc *)> &after) const
{
    writeOne(writer);
    after(this);
    if (copies == nullptr)
        return;
    PHMIterator<MethodDesc, ClassData *> it(copies);
    while (MethodDesc *copy = it.next()) {
        copy->writeOne(writer);
        after(copy);
    }
}

void MethodDesc::write(DataWriter *writer) const
{
    writeOne(writer);
    if (copies == nullptr)
        return;
    // Copies are made only from an original, so they have no copies of their own.
    PHMIterator<MethodDesc, ClassData *> it(copies);
    while (MethodDesc *copy = it.next())
        copy->writeOne(writer);
}

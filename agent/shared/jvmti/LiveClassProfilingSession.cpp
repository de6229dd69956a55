#include "LiveClassProfilingSession.h"

#include <cstring>
#include <mutex>
#include <string>

#include "ClassData.h"
#include "ClassDecisionsJvmti.h"
#include "ClassProfilingHelper.h"
#include "Counter.h"
#include "DataWriter.h"
#include "InternalMonitor.h"
#include "CpuProfilingSession.h"
#include "LiveProfiling.h"
#include "MethodDesc.h"
#include "ProfilingSession.h"

namespace {

const char *const DEFAULT_PACKAGE = "[default package]";

bool is(const MethodDesc *m, const char *className, const char *name, const char *signature)
{
    return strcmp(m->getClassData()->getClassName(), className) == 0 && strcmp(m->getMethodName(), name) == 0 &&
           (signature == nullptr || strcmp(m->getMethodSignature(), signature) == 0);
}

} // namespace

LiveClassProfilingSession::LiveClassProfilingSession(ProfilingSession *session)
    : ClassProfilingSession(session), decisions(this, session),
      cumulationClassData(new ClassData("_orvane_cumul_class", ClassData::COMPONENT_CUMULATION)), sleepMethodDesc(nullptr),
      waitMethodDesc(nullptr), objectInitMethodDesc(nullptr)
{
    makeAnnotationClassData();
    ClassProfilingSession::addClassData(cumulationClassData);
}

bool LiveClassProfilingSession::isHardFiltered(const char *dottedName)
{
    std::string slash(dottedName);
    for (char &c : slash) {
        if (c == '.')
            c = '/';
    }
    // The same answer as the class decisions give, with the agent's switches
    // (attached, class sharing, instrument-jre).
    return decisions.isHardFilteredClass(slash.c_str());
}

void LiveClassProfilingSession::addClassData(ClassData *classData)
{
    if (classData == nullptr)
        return;
    ClassProfilingSession::addClassData(classData);
    classData->setLoadTime(static_cast<uint32_t>(Counter::getUsec() / 1000));
    if (classData->getComponentType() > ClassData::COMPONENT_PSEUDO_LIMIT)
        return;
    const char *name = classData->getClassName();
    MethodDesc *classMethod = new MethodDesc(cumulationClassData, name, -1, "()V", -1, this, name);
    addMethodDesc(classMethod);
    classData->classMethodDesc = classMethod;
    classData->packageMethodDesc = getPackageMethodDesc(classData);
}

void LiveClassProfilingSession::addMethodDesc(MethodDesc *methodDesc)
{
    if (methodDesc == nullptr)
        return;
    ClassProfilingSession::addMethodDesc(methodDesc);
    if (sleepMethodDesc != nullptr && waitMethodDesc != nullptr && objectInitMethodDesc != nullptr)
        return;
    if (methodDesc->getClassData() == nullptr)
        return;
    if (sleepMethodDesc == nullptr && is(methodDesc, "java.lang.Thread", "sleep", "(J)V")) {
        sleepMethodDesc = methodDesc;
        handWaitMethods();
    } else if (waitMethodDesc == nullptr && is(methodDesc, "java.lang.Object", "wait", "(J)V")) {
        waitMethodDesc = methodDesc;
        handWaitMethods();
    } else if (objectInitMethodDesc == nullptr && is(methodDesc, "java.lang.Object", "<init>", nullptr))
        objectInitMethodDesc = methodDesc;
}

void LiveClassProfilingSession::handWaitMethods()
{
    // Where Thread.sleep and Object.wait are written in Java they carry hooks:
    // the CPU session opens a wait when they are entered, so that the time
    // inside them around the native sleep or wait is not run time.
    if (CpuProfilingSession *cpu = LiveProfiling::instance().getCpuSession())
        cpu->setWaitMethods(sleepMethodDesc, waitMethodDesc);
}

MethodDesc *LiveClassProfilingSession::getPackageMethodDesc(ClassData *classData)
{
    std::string name = classData->getClassName();
    size_t dot = name.rfind('.');
    std::string package = dot == std::string::npos ? DEFAULT_PACKAGE : name.substr(0, dot);
    profilingSession->enterMonitor(IM_CLASS);
    MethodDesc *&slot = packageNameToMethodDesc[package];
    if (slot == nullptr) {
        slot = new MethodDesc(cumulationClassData, package.c_str(), -1, "()V", -1, this, package.c_str());
        addMethodDesc(slot);
    }
    MethodDesc *result = slot;
    profilingSession->exitMonitor(IM_CLASS, false);
    return result;
}

void LiveClassProfilingSession::updateConfig(const SessionConfig *oldConfig, const SessionConfig *newConfig,
                                             DataWriter *writer, LiveProfiling *edge, JNIEnv *env)
{
    if (newConfig == nullptr)
        return;
    if (edge == nullptr || edge->jvmti == nullptr || env == nullptr) {
        decisions.updateConfig(oldConfig, newConfig, writer, nullptr);
        return;
    }
    // The classes loaded before an attach got their class-level changes at
    // the attach itself.
    ClassDecisionsJvmti vm(edge, env);
    decisions.updateConfig(oldConfig, newConfig, writer, &vm);
}

void LiveClassProfilingSession::writeLoadInfo(DataWriter *writer)
{
    profilingSession->enterMonitor(IM_CLASS);
    decisions.writeLoadInfo(writer);
    profilingSession->exitMonitor(IM_CLASS, false);
}

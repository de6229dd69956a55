#ifndef AGENT_CLASSDECISIONSPRIVATE_H
#define AGENT_CLASSDECISIONSPRIVATE_H

// What the two halves of ClassDecisions share: ClassDecisions.cpp (rewriting
// a loading class) and ClassDecisionsUpdate.cpp (load information,
// configuration updates, retransformation at start and attach).

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "ClassDecisions.h"
#include "InternalMonitor.h"
#include "ProfilingSession.h"
#include "SessionConfig.h"

namespace classdecisions {

const int ACC_PUBLIC = 0x0001;
const int ACC_STATIC = 0x0008;
const int ACC_PUBLIC_STATIC = ACC_PUBLIC | ACC_STATIC;
const int ACC_INTERFACE = 0x0200;
const int ACC_MODULE = 0x8000;

const char *const MAIN_SIGNATURE = "([Ljava/lang/String;)V";
const char *const JSP_SERVICE_SIGNATURE =
    "(Ljavax/servlet/http/HttpServletRequest;Ljavax/servlet/http/HttpServletResponse;)V";
const char *const LOAD_CLASS_SIGNATURE = "(Ljava/lang/String;)Ljava/lang/Class;";
const char *const LOAD_CLASS_RESOLVE_SIGNATURE = "(Ljava/lang/String;Z)Ljava/lang/Class;";
const char *const LOCK_SUPPORT = "java/util/concurrent/locks/LockSupport";
const char *const ABSTRACT_QUEUED_PREFIX = "java/util/concurrent/locks/AbstractQueued";
const char *const AGENT_PREFIX = "com/orvane/agent/";

inline bool startsWith(const std::string &text, const char *prefix)
{
    return text.compare(0, strlen(prefix), prefix) == 0;
}

// Classes whose special methods are never looked at.
inline bool isUntouched(const std::string &name)
{
    return startsWith(name, "com/orvane/agent/") || startsWith(name, "com/orvane/api/") || startsWith(name, "apple/");
}

inline std::string dotted(const std::string &name)
{
    std::string result(name);
    std::replace(result.begin(), result.end(), '/', '.');
    return result;
}

inline std::string slashed(const std::string &name)
{
    std::string result(name);
    std::replace(result.begin(), result.end(), '.', '/');
    return result;
}

// The session's class lock, held for a scope and released early where the
// work calls into the VM.
class ClassLock {
public:
    explicit ClassLock(ProfilingSession *session) : session(session), held(false) { take(); }
    ~ClassLock() { release(); }
    ClassLock(const ClassLock &) = delete;
    ClassLock &operator=(const ClassLock &) = delete;
    void take()
    {
        if (!held)
            session->enterMonitor(IM_CLASS);
        held = true;
    }
    void release()
    {
        if (held)
            session->exitMonitor(IM_CLASS, false);
        held = false;
    }

private:
    ProfilingSession *session;
    bool held;
};

} // namespace classdecisions

// The settings the loaded classes were instrumented with.
struct ClassDecisions::PreviousSettings {
    bool lineNumbers = false;
    bool componentDetection = false;
    bool isInclusiveFilter = false;
    std::vector<std::string> filters; // dotted
    SessionConfig::MethodSet ignoredMethods;
};

#endif

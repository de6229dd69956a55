#include "ClassDecisionsAutoTune.h"

#include <cstring>

#include "CallStackTree.h"
#include "ClassData.h"
#include "ClassProfilingSession.h"
#include "CpuProfilingSession.h"
#include "DataWriter.h"
#include "Instrumenter.h"
#include "InternalMonitor.h"
#include "LiveThreadManager.h"
#include "MessageUtil.h"
#include "MethodDesc.h"
#include "MonitorTimeValues.h"
#include "ProfilingSession.h"
#include "SessionConfig.h"

namespace {

// Adds each node's own time (without its children) and its calls to its
// method, and sums the own times. A node that spent more of its own time
// blocked, waiting or in network I/O than computing adds no time.
class SelfTimeVisitor : public CSTVisitor {
public:
    long long total = 0;

    int preVisit(CallStackTree *node) override
    {
        MethodDesc *method = node->getMethod();
        if (method == nullptr || method == CallStackTree::unrecordedMethod())
            return 1;
        method->statCount += node->getSecondValue();
        // A call still open holds its own time back from its value.
        long long self = node->getValue() - node->getChildrenValue(false) + node->getOpenTime();
        const MonitorTimeValues *times = node->getMonitorTimeValues();
        long long idle = times == nullptr ? 0 : times->getBlockingTime() + times->getWaitingTime() + times->getNetIOTime();
        if (idle > self)
            return 1;
        method->statTime += self;
        total += self;
        return 1;
    }
    void postVisit(CallStackTree *) override {}
};

} // namespace

int ClassDecisionsAutoTune::autoTuneInstrumentation(CpuProfilingSession *cpu, ClassProfilingSession *classes,
                                                    ProfilingSession *session, const SessionConfig &config,
                                                    bool recorderRecording)
{
    bool instrumenting = config.instrumentationType == 1 || config.instrumentationType == 2;
    if (!config.autoTuneInstrumentation || (!instrumenting && !recorderRecording) || cpu == nullptr)
        return 0;
    const int locks = IM_CLASS | IM_THREAD | IM_DEAD_THREADS;
    session->enterMonitor(locks);
    std::vector<MethodDesc *> methods = classes->getMethods();
    for (MethodDesc *m : methods) {
        m->statTime = 0;
        m->statCount = 0;
    }
    SelfTimeVisitor visitor;
    for (LiveThreadManager *thread : cpu->getThreadManagers()) {
        if (thread == nullptr || thread->getIgnored())
            continue;
        CallStackTree *tree = thread->getCallStackTree(false);
        if (tree != nullptr)
            tree->depthFirstTraversal(&visitor);
    }
    int count = 0;
    for (MethodDesc *m : methods) {
        if (m->statCount <= MIN_CALLS || tuned.count(m) != 0)
            continue;
        if (m->statTime * 1000 <= visitor.total * config.autoTuneMinPerMille)
            continue;
        if (m->statTime / m->statCount >= config.autoTuneMaxAverage)
            continue;
        tuned.insert(m);
        picked.push_back(m);
        unreported.push_back(m);
        // From here on the method's calls are not counted: whoever reads the
        // counts must be able to tell where they stop.
        MessageUtil::message("Auto-tuning: hooks removed from %s%s%s%s after %lld calls; its calls are not counted from here on.",
                             m->getClassData() != nullptr ? m->getClassData()->getClassName() : "",
                             m->getClassData() != nullptr ? "." : "", m->getMethodName(), m->getMethodSignature(),
                             static_cast<long long>(m->statCount));
        if (m->getClassData() != nullptr)
            Instrumenter::addAutoTunedMethod(m->getClassData()->getClassName(), m->getMethodName(),
                                             m->getMethodSignature());
        count++;
    }
    session->exitMonitor(locks, false);
    return count;
}

std::vector<std::string> ClassDecisionsAutoTune::takePicked()
{
    std::vector<std::string> names;
    for (MethodDesc *m : picked) {
        std::string name = m->getClassData() != nullptr ? std::string(m->getClassData()->getClassName()) + "." : "";
        names.push_back(name + m->getMethodName() + m->getMethodSignature());
    }
    picked.clear();
    return names;
}

void ClassDecisionsAutoTune::writeNewAutoTuneMethods(DataWriter *writer)
{
    for (MethodDesc *m : unreported) {
        const char *cls = m->getClassData() != nullptr ? m->getClassData()->getClassName() : "";
        const char *dot = strrchr(cls, '.');
        const char *simple = dot != nullptr ? dot + 1 : cls;
        if (strncmp(simple, "$Proxy", 6) == 0)
            continue;
        writer->writeByte(1);
        writer->writeID(m);
    }
    writer->writeByte(0);
    unreported.clear();
}

#include "PiClassProfilingHelper.h"

#include "PiProfiling.h"
#include "PiProfilingSession.h"

ClassData *PiClassProfilingHelper::getClassData(jobjectID classId)
{
    PiProfilingSession *session = PiProfiling::session;
    PiClassProfilingSession *classes = session != nullptr ? session->getClassSession() : nullptr;
    return classes != nullptr ? classes->getClassData(classId) : nullptr;
}

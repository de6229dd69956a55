#include "LiveClassProfilingHelper.h"

#include "LiveProfiling.h"
#include "LiveProfilingSession.h"

ClassData *LiveClassProfilingHelper::getClassData(jobjectID classId)
{
    LiveProfilingSession *session = LiveProfiling::session;
    LiveClassProfilingSession *classes = session != nullptr ? session->getClassSession() : nullptr;
    return classes != nullptr ? classes->getClassData(classId) : nullptr;
}

#include "LiveClassProfilingHelper.h"

ClassData *LiveClassProfilingHelper::getClassData(jobjectID)
{
    // Class loads are not registered yet: no id is known.
    return nullptr;
}

#ifndef AGENT_JVMPI_PICLASSPROFILINGHELPER_H
#define AGENT_JVMPI_PICLASSPROFILINGHELPER_H

#include "jvmpi.h"

class ClassData;

// The class registry keyed by JVMPI class object ids.
class PiClassProfilingHelper {
public:
    // The class of a class object id; null for null or an id never announced
    // by a class load.
    static ClassData *getClassData(jobjectID classId);
};

#endif

// A stand-in agent for jvmpihost's own checks: JVM_OnLoad takes the profiler
// interface and calls DisableGC N times and EnableGC M times, its options
// being "N,M", then returns.
#include "jvmpi.h"

#include <cstdio>

extern "C" JNIEXPORT jint JNICALL JVM_OnLoad(JavaVM *vm, char *options, void *)
{
    void *table = nullptr;
    if (vm->GetEnv(&table, JVMPI_VERSION_1) != JNI_OK || table == nullptr)
        return JNI_ERR;
    JVMPI_Interface *jvmpi = static_cast<JVMPI_Interface *>(table);
    int disable = 0, enable = 0;
    if (options == nullptr || sscanf(options, "%d,%d", &disable, &enable) != 2)
        return JNI_ERR;
    for (int i = 0; i < disable; i++)
        jvmpi->DisableGC();
    for (int i = 0; i < enable; i++)
        jvmpi->EnableGC();
    return JNI_OK;
}

// The snapshot loader's entry: a Java program (the front end's loader, which
// loads this library with System.load and needs no agent in its VM) serves a
// saved snapshot to a front end on a port.
#include <jni.h>

#include <memory>
#include <string>

#include "JavaNatives.h"
#include "SnapshotProfilingSession.h"

namespace {

// The bytes of a Java byte array as a path; `present` false for null.
std::string pathOf(JNIEnv *env, jbyteArray path, bool *present)
{
    *present = path != nullptr;
    return JavaNatives::bytes(env, path);
}

} // namespace

// Reads the snapshot, serves it until the front end leaves and returns 1.
// The Java object is not needed by the socket the loaded session listens on.
extern "C" JNIEXPORT jint JNICALL Java_com_orvane_core_comm_internal_LoadPerformer_loadSnapshot(
    JNIEnv *env, jclass, jbyteArray snapshotPath, jint port, jint sections, jobject, jbyteArray configPath,
    jbyteArray heapDumpPath)
{
    bool hasSnapshot, hasConfig, hasHeapDump;
    std::string snapshot = pathOf(env, snapshotPath, &hasSnapshot);
    std::string config = pathOf(env, configPath, &hasConfig);
    std::string heapDump = pathOf(env, heapDumpPath, &hasHeapDump);
    std::unique_ptr<SnapshotProfilingSession> session(new SnapshotProfilingSession());
    return session->loadSnapshot(snapshot.c_str(), port, sections, hasConfig ? config.c_str() : nullptr,
                                 hasHeapDump ? heapDump.c_str() : nullptr);
}

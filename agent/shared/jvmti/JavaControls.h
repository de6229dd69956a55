#ifndef AGENT_JAVACONTROLS_H
#define AGENT_JAVACONTROLS_H

#include <jni.h>

class DataReader;
class DataWriter;

// The controls the agent's Java side carries out for the front end and the
// session (triggers, HPROF dumps), through JNI alone, so that both agents
// reach them the same way. `env` is the calling thread's; a pending Java
// exception is cleared so that the caller goes on.
class JavaControls {
public:
    // Controller.enableTriggers.
    static void enableTriggers(JNIEnv *env, bool on);
    // Controller.enableTriggerGroup with the group's name.
    static void enableTriggerGroup(JNIEnv *env, bool on, const char *name);
    // TriggerManager.globalEnabled; false when the Java side lacks it.
    static bool triggersEnabled(JNIEnv *env);
    // Agent.triggerHprofDump: null when the dump was written, else the
    // problem (a local reference the caller deletes).
    static jstring hprofDump(JNIEnv *env, const char *path, bool live, bool flag);

    // Command 63 (string path, byte live): byte 0 and an empty string when
    // the dump was written, else byte 1 and the problem.
    static void handleCmdHprofDump(JNIEnv *env, DataReader *reader, DataWriter *writer);
    // Command 66 (byte on); a request without its flag changes nothing.
    static void handleCmdEnableTriggers(JNIEnv *env, DataReader *reader);
    // Command 67 (byte on, U4 count, the groups' names).
    static void handleCmdEnableTriggerGroups(JNIEnv *env, DataReader *reader);
};

#endif

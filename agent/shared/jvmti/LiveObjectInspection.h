#ifndef AGENT_LIVEOBJECTINSPECTION_H
#define AGENT_LIVEOBJECTINSPECTION_H

#include <jni.h>

#include <cstdint>

class DataReader;
class DataWriter;

// Objects still alive in the VM, named by the ids of the last heap dump:
// their primitive values (command 68) and the evaluations that the agent's
// Java side runs on them (commands 80, 82, 83, 84, 88). Every id, tag and
// class from the front end is looked up among the agent's records first; an
// unknown one is answered as not found. Runs on the command thread.
class LiveObjectInspection {
public:
    // Command 68: primitive values of static fields (kind 1), of an
    // instance's fields (kind 2) or of a primitive array (its type code).
    static void handleCmdPrimitiveData(DataReader *reader, DataWriter *writer, JNIEnv *env);
    // Command 80: the objects' texts by toString.
    static void handleCmdToString(DataReader *reader, DataWriter *writer, JNIEnv *env);
    // Command 82: the objects a script class finds true; the first
    // evaluation that raised an exception ends the run and is reported.
    static void handleCmdEvalBooleanExpression(DataReader *reader, DataWriter *writer, JNIEnv *env);
    // Command 83: the objects whose text matches an expression.
    static void handleCmdEvalToString(DataReader *reader, DataWriter *writer, JNIEnv *env);
    // Command 84: the objects whose named primitive field compares as asked.
    static void handleCmdEvalPrimitive(DataReader *reader, DataWriter *writer, JNIEnv *env);
    // Command 88: a script's text for each object.
    static void handleCmdStringScript(DataReader *reader, DataWriter *writer, JNIEnv *env);
};

#endif

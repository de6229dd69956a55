#include "JavaControls.h"

#include "DataReader.h"
#include "DataWriter.h"
#include "MessageUtil.h"

namespace {

const char *const CONTROLLER_CLASS = "com/orvane/api/agent/Controller";
const char *const TRIGGER_MANAGER_CLASS = "com/orvane/agent/triggers/TriggerManager";
const char *const AGENT_CLASS = "com/orvane/agent/Agent";

void clearException(JNIEnv *env)
{
    if (env->ExceptionCheck())
        env->ExceptionClear();
}

// A class of the agent's Java side and one of its static methods; false (a
// line said) when the Java side lacks them.
bool staticMethod(JNIEnv *env, const char *className, const char *name, const char *signature, jclass *type, jmethodID *method)
{
    *type = env->FindClass(className);
    *method = *type != nullptr ? env->GetStaticMethodID(*type, name, signature) : nullptr;
    if (*method != nullptr)
        return true;
    clearException(env);
    MessageUtil::message("%s.%s%s is missing", className, name, signature);
    if (*type != nullptr)
        env->DeleteLocalRef(*type);
    return false;
}

} // namespace

void JavaControls::enableTriggers(JNIEnv *env, bool on)
{
    jclass controller = nullptr;
    jmethodID enable = nullptr;
    if (env == nullptr || !staticMethod(env, CONTROLLER_CLASS, "enableTriggers", "(Z)V", &controller, &enable))
        return;
    env->CallStaticVoidMethod(controller, enable, static_cast<jboolean>(on));
    clearException(env);
    env->DeleteLocalRef(controller);
}

void JavaControls::enableTriggerGroup(JNIEnv *env, bool on, const char *name)
{
    jclass controller = nullptr;
    jmethodID enable = nullptr;
    if (env == nullptr ||
        !staticMethod(env, CONTROLLER_CLASS, "enableTriggerGroup", "(ZLjava/lang/String;)V", &controller, &enable))
        return;
    jstring group = env->NewStringUTF(name != nullptr ? name : "");
    clearException(env);
    env->CallStaticVoidMethod(controller, enable, static_cast<jboolean>(on), group);
    clearException(env);
    if (group != nullptr)
        env->DeleteLocalRef(group);
    env->DeleteLocalRef(controller);
}

bool JavaControls::triggersEnabled(JNIEnv *env)
{
    if (env == nullptr)
        return false;
    jclass manager = env->FindClass(TRIGGER_MANAGER_CLASS);
    jfieldID enabled = manager != nullptr ? env->GetStaticFieldID(manager, "globalEnabled", "Z") : nullptr;
    if (enabled == nullptr) {
        clearException(env);
        if (manager != nullptr)
            env->DeleteLocalRef(manager);
        return false;
    }
    bool on = env->GetStaticBooleanField(manager, enabled) != JNI_FALSE;
    env->DeleteLocalRef(manager);
    return on;
}

jstring JavaControls::hprofDump(JNIEnv *env, const char *path, bool live, bool flag)
{
    jclass agent = nullptr;
    jmethodID dump = nullptr;
    if (env == nullptr ||
        !staticMethod(env, AGENT_CLASS, "triggerHprofDump", "(Ljava/lang/String;ZZ)Ljava/lang/String;", &agent, &dump))
        return env != nullptr ? env->NewStringUTF("the agent's Java side cannot dump the heap") : nullptr;
    jstring file = env->NewStringUTF(path != nullptr ? path : "");
    clearException(env);
    jobject result = env->CallStaticObjectMethod(agent, dump, file, static_cast<jboolean>(live), static_cast<jboolean>(flag));
    clearException(env);
    if (file != nullptr)
        env->DeleteLocalRef(file);
    env->DeleteLocalRef(agent);
    return static_cast<jstring>(result);
}

void JavaControls::handleCmdHprofDump(JNIEnv *env, DataReader *reader, DataWriter *writer)
{
    char *path = reader->readString(nullptr);
    bool live = reader->readByte(0) != 0;
    if (reader->getError() || env == nullptr) {
        delete[] path;
        writer->writeByte(0);
        writer->writeString("");
        return;
    }
    jstring problem = hprofDump(env, path, live, false);
    delete[] path;
    if (problem == nullptr) {
        writer->writeByte(0);
        writer->writeString("");
        return;
    }
    const char *text = env->GetStringUTFChars(problem, nullptr);
    writer->writeByte(1);
    writer->writeString(text);
    if (text != nullptr)
        env->ReleaseStringUTFChars(problem, text);
    env->DeleteLocalRef(problem);
}

void JavaControls::handleCmdEnableTriggers(JNIEnv *env, DataReader *reader)
{
    uint8_t on = reader->readByte(0);
    if (reader->getError()) {
        MessageUtil::message("Ignoring a triggers switch request without its flag.");
        return;
    }
    enableTriggers(env, on != 0);
}

void JavaControls::handleCmdEnableTriggerGroups(JNIEnv *env, DataReader *reader)
{
    bool on = reader->readByte(0) != 0;
    uint32_t count = reader->readU4(0);
    if (reader->getError()) {
        MessageUtil::message("Ignoring a trigger groups request without its switch and count.");
        return;
    }
    for (uint32_t i = 0; i < count && !reader->getError(); i++) {
        char *name = reader->readString(nullptr);
        if (name == nullptr)
            break;
        enableTriggerGroup(env, on, name);
        delete[] name;
    }
}

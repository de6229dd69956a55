#include "ClassDecisionsJvmti.h"

#include "JvmtiBuffer.h"
#include "LiveClassProfilingHelper.h"
#include "LiveProfiling.h"
#include "MessageUtil.h"

namespace {

const jint LOCAL_FRAME_CAPACITY = 64;

bool clearException(JNIEnv *env)
{
    if (!env->ExceptionCheck())
        return false;
    env->ExceptionClear();
    return true;
}

} // namespace

ClassDecisionsJvmti::ClassDecisionsJvmti(LiveProfiling *edge, JNIEnv *env)
    : edge(edge), jvmti(edge->jvmti), env(env)
{
}

ClassDecisionsJvmti::~ClassDecisionsJvmti()
{
    endLoadedClasses();
}

bool ClassDecisionsJvmti::getLoadedClasses(std::vector<LoadedClass> &classes)
{
    endLoadedClasses();
    // The VM hands out one local reference per class: a frame of their own,
    // made large enough for them, holds them until they are global.
    if (env->PushLocalFrame(LOCAL_FRAME_CAPACITY) != 0) {
        clearException(env);
        MessageUtil::message("ERROR: could not get loaded classes.");
        return false;
    }
    jint count = 0;
    jclass *locals = nullptr;
    if (jvmti->GetLoadedClasses(&count, &locals) != JVMTI_ERROR_NONE || locals == nullptr) {
        env->PopLocalFrame(nullptr);
        MessageUtil::message("ERROR: could not get loaded classes.");
        return false;
    }
    if (env->EnsureLocalCapacity(count) != 0)
        clearException(env);
    classes.clear();
    classes.reserve(static_cast<size_t>(count));
    for (jint i = 0; i < count; i++) {
        jclass klass = static_cast<jclass>(env->NewGlobalRef(locals[i]));
        env->DeleteLocalRef(locals[i]);
        if (klass == nullptr) {
            clearException(env);
            continue;
        }
        loadedClasses.push_back(klass);
        LoadedClass c;
        c.handle = klass;
        jboolean modifiable = JNI_FALSE;
        c.modifiable = jvmti->IsModifiableClass(klass, &modifiable) == JVMTI_ERROR_NONE && modifiable;
        jint status = 0;
        if (jvmti->GetClassStatus(klass, &status) == JVMTI_ERROR_NONE)
            c.status = status;
        JvmtiBuffer<char> signature(jvmti);
        if (jvmti->GetClassSignature(klass, signature.out(), nullptr) == JVMTI_ERROR_NONE && signature.get() != nullptr) {
            std::string text(signature.get());
            c.isArray = !text.empty() && text[0] == '[';
            if (text.size() > 2 && text[0] == 'L' && text.back() == ';')
                c.slashName = text.substr(1, text.size() - 2);
        }
        classes.push_back(c);
    }
    jvmti->Deallocate(reinterpret_cast<unsigned char *>(locals));
    env->PopLocalFrame(nullptr);
    return true;
}

void ClassDecisionsJvmti::endLoadedClasses()
{
    for (jclass klass : loadedClasses)
        env->DeleteGlobalRef(klass);
    loadedClasses.clear();
}

bool ClassDecisionsJvmti::getConstantPool(void *handle, int *count, std::vector<unsigned char> &bytes)
{
    jint poolCount = 0;
    jint byteCount = 0;
    JvmtiBuffer<unsigned char> pool(jvmti);
    if (jvmti->GetConstantPool(static_cast<jclass>(handle), &poolCount, &byteCount, pool.out()) != JVMTI_ERROR_NONE ||
        pool.get() == nullptr)
        return false;
    *count = poolCount;
    bytes.assign(pool.get(), pool.get() + byteCount);
    return true;
}

bool ClassDecisionsJvmti::getMethods(void *handle, bool withBytecodes, std::vector<Method> &methods)
{
    jclass klass = static_cast<jclass>(handle);
    jint count = 0;
    JvmtiBuffer<jmethodID> ids(jvmti);
    if (jvmti->GetClassMethods(klass, &count, ids.out()) != JVMTI_ERROR_NONE)
        return false;
    methods.clear();
    for (jint i = 0; i < count; i++) {
        JvmtiBuffer<char> name(jvmti);
        JvmtiBuffer<char> signature(jvmti);
        if (jvmti->GetMethodName(ids.get()[i], name.out(), signature.out(), nullptr) != JVMTI_ERROR_NONE)
            continue;
        Method m;
        m.name = name.get();
        m.signature = signature.get();
        jint modifiers = 0;
        if (jvmti->GetMethodModifiers(ids.get()[i], &modifiers) == JVMTI_ERROR_NONE)
            m.access = modifiers;
        if (withBytecodes) {
            jint length = 0;
            JvmtiBuffer<unsigned char> code(jvmti);
            if (jvmti->GetBytecodes(ids.get()[i], &length, code.out()) == JVMTI_ERROR_NONE && code.get() != nullptr)
                m.bytecodes.assign(code.get(), code.get() + length);
        }
        methods.push_back(m);
    }
    return true;
}

int ClassDecisionsJvmti::retransform(const std::vector<void *> &classes)
{
    if (classes.empty())
        return 0;
    std::vector<jclass> list;
    list.reserve(classes.size());
    for (void *c : classes)
        list.push_back(static_cast<jclass>(c));
    return jvmti->RetransformClasses(static_cast<jint>(list.size()), list.data());
}

long long ClassDecisionsJvmti::getAvailablePermGen()
{
    if (edge->agentClass == nullptr)
        return -1;
    return edge->getAvailablePermGen(env);
}

void ClassDecisionsJvmti::addLoadInformation(void *handle)
{
    LiveClassProfilingHelper::getJvmtiClassData(static_cast<jclass>(handle), env, true, true);
}

jmethodID ClassDecisionsJvmti::staticMethod(jclass klass, const char *name, const char *signature)
{
    if (klass == nullptr)
        return nullptr;
    jmethodID method = env->GetStaticMethodID(klass, name, signature);
    if (method == nullptr) {
        clearException(env);
        MessageUtil::message("ERROR: method %s%s of the agent not found.", name, signature);
    }
    return method;
}

int ClassDecisionsJvmti::checkAnnotatedComponent(void *handle, const std::string &dottedName)
{
    static jmethodID check = nullptr;
    if (check == nullptr)
        check = staticMethod(edge->agentClass, "checkAnnotatedComponent", "(Ljava/lang/Class;)I");
    if (check == nullptr)
        return 0;
    jint type = env->CallStaticIntMethod(edge->agentClass, check, static_cast<jclass>(handle));
    if (clearException(env))
        return 0;
    if (type > 0)
        LiveClassProfilingHelper::registerComponentType(dottedName.c_str(), type);
    return type;
}

void ClassDecisionsJvmti::registerClass(void *handle)
{
    static jmethodID registerClassMethod = nullptr;
    if (registerClassMethod == nullptr)
        registerClassMethod =
            staticMethod(edge->instrumentationCalleeClass, "__orvane_registerClass", "(Ljava/lang/Class;)V");
    if (registerClassMethod == nullptr)
        return;
    env->CallStaticVoidMethod(edge->instrumentationCalleeClass, registerClassMethod,
                              static_cast<jclass>(handle));
    clearException(env);
}

void ClassDecisionsJvmti::configurationChanged()
{
    static jmethodID updateConfig = nullptr;
    if (updateConfig == nullptr)
        updateConfig = staticMethod(edge->agentClass, "updateConfig", "()V");
    if (updateConfig == nullptr)
        return;
    env->CallStaticVoidMethod(edge->agentClass, updateConfig);
    clearException(env);
}

// The real JVM inside jvmpihost: started through the invocation interface,
// its stacks for the threads that are not scripted, its own class loads
// raised as the profiler interface's class events, the agent's natives bound
// in it, and the programs whose main it runs.
#include "JvmpiHost.h"

#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <string>
#include <vector>

namespace {

// The source line of `location` in `method`; -1 when the JVM knows none.
jint lineOf(jmethodID method, jlocation location)
{
    jint count = 0;
    jvmtiLineNumberEntry *table = nullptr;
    if (location < 0 || realJvm.stacksEnv->GetLineNumberTable(method, &count, &table) != JVMTI_ERROR_NONE)
        return -1;
    jint line = -1;
    jlocation best = -1;
    for (jint i = 0; i < count; i++) {
        if (table[i].start_location <= location && table[i].start_location > best) {
            best = table[i].start_location;
            line = table[i].line_number;
        }
    }
    realJvm.stacksEnv->Deallocate(reinterpret_cast<unsigned char *>(table));
    return line;
}

// The natives of the agent library the VM binds for the agent's Java class,
// as a VM binds those of a library it loaded itself. The communication native
// goes through the host first, which logs the Java thread that enters it.
void JNICALL hostEnterCommunication(JNIEnv *env, jclass type, jobject communicator, jint port)
{
    std::string name = javaThreadName(env);
    logCall("Java thread %s enters the agent", name.c_str());
    realJvm.agentEnterCommunication(env, type, communicator, port);
    logCall("Java thread %s left the agent", name.c_str());
}

// The JVM loads the agent library for the class loader of the agent's
// classes, as a VM does with a library it loaded itself, and then binds
// every other native of those classes by its name. (Runtime.load0 names
// the loader's class; JNI calls it without access checks.)
bool loadIntoJvm(JNIEnv *env, jclass agent)
{
    jclass runtimeClass = env->FindClass("java/lang/Runtime");
    jmethodID getRuntime = runtimeClass != nullptr ? env->GetStaticMethodID(runtimeClass, "getRuntime", "()Ljava/lang/Runtime;") : nullptr;
    jmethodID load0 = runtimeClass != nullptr ? env->GetMethodID(runtimeClass, "load0", "(Ljava/lang/Class;Ljava/lang/String;)V") : nullptr;
    jobject runtime = getRuntime != nullptr ? env->CallStaticObjectMethod(runtimeClass, getRuntime) : nullptr;
    jstring path = env->NewStringUTF(realJvm.agentLibraryPath.c_str());
    if (runtime == nullptr || load0 == nullptr || path == nullptr)
        return false;
    env->CallVoidMethod(runtime, load0, agent, path);
    return !env->ExceptionCheck();
}

// A pending exception of the real JVM is described and fails the step.
bool javaFailed(JNIEnv *env, const char *what)
{
    if (!env->ExceptionCheck())
        return false;
    env->ExceptionDescribe();
    fprintf(stderr, "jvmpihost: %s failed\n", what);
    return true;
}

// Runs main of `type` with `arguments` on the host's main thread.
bool callMain(JNIEnv *env, jclass type, const std::string &name, const std::vector<std::string> &arguments)
{
    jmethodID main = env->GetStaticMethodID(type, "main", "([Ljava/lang/String;)V");
    if (javaFailed(env, "GetStaticMethodID main"))
        return false;
    jclass stringClass = env->FindClass("java/lang/String");
    jobjectArray argv = env->NewObjectArray(static_cast<jsize>(arguments.size()), stringClass, nullptr);
    if (javaFailed(env, "the arguments"))
        return false;
    for (size_t i = 0; i < arguments.size(); i++) {
        jstring text = env->NewStringUTF(arguments[i].c_str());
        if (javaFailed(env, "the arguments"))
            return false;
        env->SetObjectArrayElement(argv, static_cast<jsize>(i), text);
    }
    env->CallStaticVoidMethod(type, main, argv);
    if (javaFailed(env, "main"))
        return false;
    logCall("main %s returned", name.c_str());
    return true;
}

// The real JVM's own class loads, raised as the profiler interface's class
// events. The host's JVMTI environment in its JVM sees each class before it
// is defined (CLASS_LOAD_HOOK: the JVM defines the bytes the agent gives
// back) and once it is prepared (CLASS_LOAD with its methods and fields,
// the class joining the host's model under a host-made class id, its
// methods under their real method ids).
void *allocateClassBytes(unsigned int size)
{
    unsigned char *memory = nullptr;
    return realJvm.classEventsEnv->Allocate(size, &memory) == JVMTI_ERROR_NONE ? memory : nullptr;
}

void JNICALL realClassFileLoadHook(jvmtiEnv *, JNIEnv *env, jclass redefined, jobject, const char *name, jobject, jint length,
                                   const unsigned char *bytes, jint *newLength, unsigned char **newBytes)
{
    if (redefined != nullptr || !agentWants(JVMPI_EVENT_CLASS_LOAD_HOOK))
        return;
    JVMPI_Event event;
    memset(&event, 0, sizeof event);
    event.event_type = JVMPI_EVENT_CLASS_LOAD_HOOK;
    event.env_id = env;
    event.u.class_load_hook.class_data = const_cast<unsigned char *>(bytes);
    event.u.class_load_hook.class_data_len = length;
    event.u.class_load_hook.malloc_f = allocateClassBytes;
    notifyAgent(&event);
    unsigned char *given = static_cast<unsigned char *>(event.u.class_load_hook.new_class_data);
    if (given == nullptr || given == bytes)
        return;
    *newBytes = given;
    *newLength = event.u.class_load_hook.new_class_data_len;
    logCall("real class %s rewritten %d -> %d", name != nullptr ? name : "?", length, *newLength);
}

// Frees what JVMTI allocated when the scope ends.
struct JvmtiChars {
    char *chars = nullptr;
    ~JvmtiChars()
    {
        if (chars != nullptr)
            realJvm.classEventsEnv->Deallocate(reinterpret_cast<unsigned char *>(chars));
    }
};

void JNICALL realClassPrepare(jvmtiEnv *jvmti, JNIEnv *env, jthread, jclass klass)
{
    JvmtiChars signature;
    if (jvmti->GetClassSignature(klass, &signature.chars, nullptr) != JVMTI_ERROR_NONE || signature.chars == nullptr ||
        signature.chars[0] != 'L')
        return;
    std::string name(signature.chars + 1);
    if (!name.empty() && name.back() == ';')
        name.pop_back();
    jlong tag = 0;
    jvmti->GetTag(klass, &tag);
    if (tag == 0) {
        tag = static_cast<jlong>(realJvm.nextClassId.fetch_add(16));
        jvmti->SetTag(klass, tag);
    }
    uintptr_t classId = static_cast<uintptr_t>(tag);
    ModelClass model;
    model.name = name;
    jint methodCount = 0;
    jmethodID *methodIds = nullptr;
    if (jvmti->GetClassMethods(klass, &methodCount, &methodIds) == JVMTI_ERROR_NONE) {
        for (jint i = 0; i < methodCount; i++) {
            JvmtiChars methodName, methodSignature;
            if (jvmti->GetMethodName(methodIds[i], &methodName.chars, &methodSignature.chars, nullptr) == JVMTI_ERROR_NONE)
                model.methods.push_back(ModelMethod{methodName.chars, methodSignature.chars, methodIds[i]});
        }
        jvmti->Deallocate(reinterpret_cast<unsigned char *>(methodIds));
    }
    {
        std::lock_guard<std::mutex> guard(hostModel.lock);
        for (const ModelMethod &method : model.methods)
            hostModel.methodClasses[reinterpret_cast<uintptr_t>(method.id)] = classId;
        hostModel.classes[classId] = model;
    }
    if (!agentWants(JVMPI_EVENT_CLASS_LOAD))
        return;
    // Fields: statics and instance fields with their signatures.
    std::vector<std::string> fieldText;
    std::vector<bool> fieldStatic;
    jint fieldCount = 0;
    jfieldID *fieldIds = nullptr;
    if (jvmti->GetClassFields(klass, &fieldCount, &fieldIds) == JVMTI_ERROR_NONE) {
        for (jint i = 0; i < fieldCount; i++) {
            JvmtiChars fieldName, fieldSignature;
            jint modifiers = 0;
            if (jvmti->GetFieldName(klass, fieldIds[i], &fieldName.chars, &fieldSignature.chars, nullptr) != JVMTI_ERROR_NONE ||
                jvmti->GetFieldModifiers(klass, fieldIds[i], &modifiers) != JVMTI_ERROR_NONE)
                continue;
            fieldText.push_back(fieldName.chars);
            fieldText.push_back(fieldSignature.chars);
            fieldStatic.push_back((modifiers & 0x0008) != 0);
        }
        jvmti->Deallocate(reinterpret_cast<unsigned char *>(fieldIds));
    }
    std::vector<JVMPI_Field> statics, instances;
    for (size_t i = 0; i < fieldStatic.size(); i++) {
        JVMPI_Field field{&fieldText[2 * i][0], &fieldText[2 * i + 1][0]};
        (fieldStatic[i] ? statics : instances).push_back(field);
    }
    std::vector<JVMPI_Method> methods;
    for (ModelMethod &method : model.methods)
        methods.push_back(JVMPI_Method{&method.name[0], &method.signature[0], 0, 0, method.id});
    JVMPI_Event event;
    memset(&event, 0, sizeof event);
    event.event_type = JVMPI_EVENT_CLASS_LOAD;
    event.env_id = env;
    jint interfaceCount = 0;
    jclass *interfaces = nullptr;
    if (jvmti->GetImplementedInterfaces(klass, &interfaceCount, &interfaces) == JVMTI_ERROR_NONE)
        jvmti->Deallocate(reinterpret_cast<unsigned char *>(interfaces));
    event.u.class_load.class_name = model.name.c_str();
    event.u.class_load.num_interfaces = interfaceCount;
    event.u.class_load.num_methods = static_cast<jint>(methods.size());
    event.u.class_load.methods = methods.data();
    event.u.class_load.num_static_fields = static_cast<jint>(statics.size());
    event.u.class_load.statics = statics.data();
    event.u.class_load.num_instance_fields = static_cast<jint>(instances.size());
    event.u.class_load.instances = instances.data();
    event.u.class_load.class_id = reinterpret_cast<jobjectID>(classId);
    notifyAgent(&event);
}

} // namespace

// Starts the real JVM with `classPath`; false (and a message) when it cannot.
bool startJvm(const std::string &libjvm, const std::string &classPath)
{
    void *library = dlopen(libjvm.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        fprintf(stderr, "jvmpihost: cannot load the JVM: %s\n", dlerror());
        return false;
    }
    using Create = jint (*)(JavaVM **, void **, void *);
    Create create = reinterpret_cast<Create>(dlsym(library, "JNI_CreateJavaVM"));
    if (create == nullptr) {
        fprintf(stderr, "jvmpihost: no JNI_CreateJavaVM in %s\n", libjvm.c_str());
        return false;
    }
    std::string classPathOption = "-Djava.class.path=" + classPath;
    std::string perfData = "-XX:-UsePerfData";
    std::vector<JavaVMOption> options = {{&classPathOption[0], nullptr}, {&perfData[0], nullptr}};
    for (std::string &option : hostOptions.jvmOptions)
        options.push_back(JavaVMOption{&option[0], nullptr});
    JavaVMInitArgs args;
    args.version = JNI_VERSION_1_8;
    args.nOptions = static_cast<jint>(options.size());
    args.options = options.data();
    args.ignoreUnrecognized = JNI_FALSE;
    jint created = create(&realJvm.vm, reinterpret_cast<void **>(&realJvm.mainEnv), &args);
    if (created != JNI_OK || realJvm.vm == nullptr) {
        fprintf(stderr, "jvmpihost: the JVM did not start (%d)\n", created);
        realJvm.vm = nullptr;
        return false;
    }
    logCall("JVM started");
    return true;
}

bool startStacks()
{
    if (realJvm.vm->GetEnv(reinterpret_cast<void **>(&realJvm.stacksEnv), JVMTI_VERSION_1_2) != JNI_OK || realJvm.stacksEnv == nullptr) {
        fprintf(stderr, "jvmpihost: the JVM gives no JVMTI environment for stacks\n");
        return false;
    }
    jvmtiCapabilities capabilities;
    memset(&capabilities, 0, sizeof capabilities);
    capabilities.can_get_line_numbers = 1;
    if (realJvm.stacksEnv->AddCapabilities(&capabilities) != JVMTI_ERROR_NONE) {
        fprintf(stderr, "jvmpihost: the JVM gives no line numbers\n");
        return false;
    }
    JNIEnv *env = realJvm.mainEnv;
    jclass threadClass = env->FindClass("java/lang/Thread");
    jmethodID current = threadClass != nullptr ? env->GetStaticMethodID(threadClass, "currentThread", "()Ljava/lang/Thread;") : nullptr;
    jobject thread = current != nullptr ? env->CallStaticObjectMethod(threadClass, current) : nullptr;
    realJvm.mainThread = thread != nullptr ? env->NewGlobalRef(thread) : nullptr;
    if (realJvm.mainThread == nullptr) {
        env->ExceptionClear();
        fprintf(stderr, "jvmpihost: the host's own thread has no Thread object\n");
        return false;
    }
    return true;
}

// The real stack, innermost first, of the host's own thread or of the
// calling thread; no frames for another thread.
void realCallTrace(JVMPI_CallTrace *trace, jint depth)
{
    if (realJvm.stacksEnv == nullptr || depth <= 0)
        return;
    JNIEnv *self = nullptr;
    // Every thread that asks is one of the JVM's: the scripted ones, the
    // host's own and the agent's system threads, attached when they were made.
    if (realJvm.vm->GetEnv(reinterpret_cast<void **>(&self), JNI_VERSION_1_8) != JNI_OK)
        return;
    jthread thread = nullptr; // the calling thread
    if (trace->env_id == realJvm.mainEnv)
        thread = static_cast<jthread>(realJvm.mainThread);
    else if (trace->env_id != self || self == nullptr)
        return;
    std::vector<jvmtiFrameInfo> frames(static_cast<size_t>(depth));
    jint count = 0;
    if (realJvm.stacksEnv->GetStackTrace(thread, 0, depth, frames.data(), &count) != JVMTI_ERROR_NONE)
        return;
    for (jint i = 0; i < count; i++)
        trace->frames[trace->num_frames++] = JVMPI_CallFrame{lineOf(frames[i].method, frames[i].location), frames[i].method};
}

// The agent's Java class with the host's natives bound; null (and a message) when missing.
jclass agentClass(JNIEnv *env)
{
    jclass type = env->FindClass("com/orvane/agent/Agent");
    if (type == nullptr) {
        env->ExceptionDescribe();
        fprintf(stderr, "jvmpihost: the agent's Java class is not on the class path\n");
        return nullptr;
    }
    static bool bound = false;
    if (!bound) {
        realJvm.agentEnterCommunication = reinterpret_cast<EnterCommunication>(dlsym(realJvm.agentLibrary, "Java_com_orvane_agent_Agent_enterCommunication"));
        if (realJvm.agentEnterCommunication == nullptr) {
            fprintf(stderr, "jvmpihost: no Java communication entry in the agent\n");
            return nullptr;
        }
        char name[] = "enterCommunication";
        char signature[] = "(Ljava/lang/Object;I)V";
        JNINativeMethod natives[] = {{name, signature, reinterpret_cast<void *>(hostEnterCommunication)}};
        if (env->RegisterNatives(type, natives, 1) != JNI_OK || !loadIntoJvm(env, type)) {
            env->ExceptionDescribe();
            fprintf(stderr, "jvmpihost: cannot bind the agent's natives\n");
            return nullptr;
        }
        bound = true;
    }
    return type;
}

// The agent's Java class starts its communication thread in the real JVM.
bool startJavaCommunication()
{
    JNIEnv *env = realJvm.mainEnv;
    jclass type = agentClass(env);
    if (type == nullptr)
        return false;
    jmethodID start = env->GetStaticMethodID(type, "startCommunicationThread", "()V");
    if (start == nullptr) {
        env->ExceptionDescribe();
        fprintf(stderr, "jvmpihost: the agent's Java class cannot start its communication thread\n");
        return false;
    }
    env->CallStaticVoidMethod(type, start);
    if (env->ExceptionCheck()) {
        env->ExceptionDescribe();
        return false;
    }
    logCall("Java communication thread started from Java");
    return true;
}

// The host's own thread is announced once, before it first runs a
// program's main, as a VM announces its main thread.
void announceHostThread()
{
    static bool announced = false;
    if (announced)
        return;
    announced = true;
    std::string name = javaThreadName(realJvm.mainEnv);
    std::string group = "main";
    JVMPI_Event event;
    memset(&event, 0, sizeof event);
    event.u.thread_start.thread_name = &name[0];
    event.u.thread_start.group_name = &group[0];
    event.u.thread_start.thread_env_id = realJvm.mainEnv;
    post(JVMPI_EVENT_THREAD_START, &event);
}

// The real JVM defines `bytes` as class `name` in the system class loader
// and runs its main with `arguments` on the thread of `env`.
bool runMain(JNIEnv *env, const std::string &name, const std::vector<unsigned char> &bytes, const std::vector<std::string> &arguments)
{
    jclass loaderClass = env->FindClass("java/lang/ClassLoader");
    if (javaFailed(env, "FindClass ClassLoader"))
        return false;
    jmethodID systemLoader = env->GetStaticMethodID(loaderClass, "getSystemClassLoader", "()Ljava/lang/ClassLoader;");
    if (javaFailed(env, "getSystemClassLoader"))
        return false;
    jobject loader = env->CallStaticObjectMethod(loaderClass, systemLoader);
    if (javaFailed(env, "getSystemClassLoader"))
        return false;
    jclass type = env->DefineClass(name.c_str(), loader, reinterpret_cast<const jbyte *>(bytes.data()), static_cast<jsize>(bytes.size()));
    if (type == nullptr || javaFailed(env, "DefineClass"))
        return false;
    return callMain(env, type, name, arguments);
}

// From now on the real JVM's class loads reach the agent.
bool startClassEvents()
{
    if (realJvm.vm->GetEnv(reinterpret_cast<void **>(&realJvm.classEventsEnv), JVMTI_VERSION_1_2) != JNI_OK || realJvm.classEventsEnv == nullptr) {
        fprintf(stderr, "jvmpihost: the JVM gives no JVMTI environment for class events\n");
        return false;
    }
    jvmtiCapabilities capabilities;
    memset(&capabilities, 0, sizeof capabilities);
    capabilities.can_tag_objects = 1;
    jvmtiEventCallbacks callbacks;
    memset(&callbacks, 0, sizeof callbacks);
    callbacks.ClassFileLoadHook = realClassFileLoadHook;
    callbacks.ClassPrepare = realClassPrepare;
    if (realJvm.classEventsEnv->AddCapabilities(&capabilities) != JVMTI_ERROR_NONE ||
        realJvm.classEventsEnv->SetEventCallbacks(&callbacks, sizeof callbacks) != JVMTI_ERROR_NONE) {
        fprintf(stderr, "jvmpihost: cannot set up the class events\n");
        return false;
    }
    if (realJvm.classEventsEnv->SetEventNotificationMode(JVMTI_ENABLE, JVMTI_EVENT_CLASS_FILE_LOAD_HOOK, nullptr) != JVMTI_ERROR_NONE ||
        realJvm.classEventsEnv->SetEventNotificationMode(JVMTI_ENABLE, JVMTI_EVENT_CLASS_PREPARE, nullptr) != JVMTI_ERROR_NONE) {
        fprintf(stderr, "jvmpihost: cannot enable the class events\n");
        return false;
    }
    logCall("class events of the JVM on");
    return true;
}

// The real JVM loads `name` (dotted or slashed) through its class path and
// runs its main.
bool loadAndRunMain(const std::string &name, const std::vector<std::string> &arguments)
{
    announceHostThread();
    JNIEnv *env = realJvm.mainEnv;
    std::string slashed = name;
    for (char &c : slashed)
        if (c == '.')
            c = '/';
    jclass type = env->FindClass(slashed.c_str());
    if (type == nullptr || javaFailed(env, "FindClass"))
        return false;
    return callMain(env, type, name, arguments);
}

// The step java:N:CLASS:METHOD[:TEXT]: scripted thread N calls the static
// void METHOD of CLASS, with TEXT as its one String argument when given.
bool callJavaStatic(int n, const std::string &className, const std::string &method, const std::string *text)
{
    bool ok = false;
    runOn(n, [&] {
        JNIEnv *env = threadEnv(n);
        jclass type = env->FindClass(className.c_str());
        if (type == nullptr || javaFailed(env, "FindClass"))
            return;
        jmethodID id = env->GetStaticMethodID(type, method.c_str(), text != nullptr ? "(Ljava/lang/String;)V" : "()V");
        if (id == nullptr || javaFailed(env, "GetStaticMethodID"))
            return;
        if (text != nullptr) {
            jstring argument = env->NewStringUTF(text->c_str());
            env->CallStaticVoidMethod(type, id, argument);
        } else {
            env->CallStaticVoidMethod(type, id);
        }
        ok = !javaFailed(env, method.c_str());
    });
    if (ok)
        logCall("java %d %s.%s returned", n, className.c_str(), method.c_str());
    return ok;
}

RealJvm realJvm;

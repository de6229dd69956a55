#include "LiveHeapProfilingHelper.h"

#include <atomic>
#include <cstring>
#include <memory>
#include <vector>

#include "ClassData.h"
#include "ClassDecisionsObjectHook.h"
#include "ClassModifications.h"
#include "io/ClassFileReader.h"
#include "io/ClassFileWriter.h"
#include "structures/ClassFile.h"
#include "Counter.h"
#include "CpuProfilingSession.h"
#include "DataReader.h"
#include "DataWriter.h"
#include "HeapProfilingSession.h"
#include "InternalMonitor.h"
#include "LiveClassProfilingHelper.h"
#include "LiveCpuProfilingHelper.h"
#include "LiveProfiling.h"
#include "LiveProfilingSession.h"
#include "LiveThreadManager.h"
#include "MessageUtil.h"
#include "SessionLock.h"

namespace {

// Tags of objects the agent tags without recording them (classes, monitors)
// lie above the item ranges, so that no item ever takes them for its own.
// Lock-free: classes are tagged inside heap walks, where the walking VM
// thread must not wait for a lock the walk's caller holds.
std::atomic<long long> unrecordedTagId(HeapItemIds::LIMIT + 1LL);

bool isPrimitiveArrayType(int type)
{
    return type >= 4 && type <= 11;
}

// The heap session with what needs the VM: the whole-heap walks.
class LiveHeapSession : public HeapProfilingSession {
public:
    LiveHeapSession(ProfilingSession *session, ClassProfilingSession *classes) : HeapProfilingSession(session, classes) {}

    void updateTotalHeapData() override;
    void generateLiveOnlyAllocationTree(const std::vector<int> &types, const std::vector<ClassData *> &classes,
                                        const std::string &prefix) override;

    // The selection of a live-only tree while the heap is walked.
    struct Selection {
        LiveHeapSession *heap;
        const std::vector<int> *types;
        const std::vector<ClassData *> *classes;
        const std::string *prefix;
    };
    bool matches(const Selection &selection, long long id, const HeapAllocItem *item) const;
    void addLiveOnly(long long id, HeapAllocItem *item);
    void writeATLOData(DataWriter *writer) override;
};

// The heap session the edge owns; null before init.
HeapProfilingSession *liveHeap()
{
    return LiveProfiling::instance().getHeapSession();
}

// The environment that rewrites java.lang.Object's constructor to report
// every allocation, once recording is first switched on. The VM loads Object
// before an agent sees classes, so the constructor is changed by
// retransformation, to call the hook without any switch in String.
jvmtiEnv *objectHookEnv = nullptr;
ClassDecisionsObjectHook objectHook;
// Object was rewritten by the last retransformation of installObjectHook.
std::atomic<bool> objectRewritten(false);
ProfilingSession *hookSession = nullptr;
std::atomic<bool> notInitializedReported(false);

jint JNICALL countHeapObject(jlong classTag, jlong size, jlong *, jint, void *userData)
{
    HeapProfilingSession *heap = static_cast<HeapProfilingSession *>(userData);
    ClassData *classData = classTag != 0 ? LiveClassProfilingHelper::getJvmtiClassData(classTag) : nullptr;
    if (classData != nullptr)
        heap->addTotalHeapObject(classData, ClassData::getArrayTypeFromClassData(classData), size);
    return 0;
}

// Walks the heap's objects (`filter` as JVMTI's); nothing without JVMTI
// (the recorder started from Java tags no objects and cannot walk the heap).
void iterateHeap(jint filter, jvmtiHeapIterationCallback callback, void *data)
{
    jvmtiEnv *jvmti = LiveProfiling::instance().jvmti;
    if (jvmti == nullptr)
        return;
    jvmtiHeapCallbacks callbacks;
    memset(&callbacks, 0, sizeof callbacks);
    callbacks.heap_iteration_callback = callback;
    if (jvmti->IterateThroughHeap(filter, nullptr, &callbacks, data) != JVMTI_ERROR_NONE)
        MessageUtil::message("error iterating over heap");
}

void LiveHeapSession::updateTotalHeapData()
{
    LiveProfiling &edge = LiveProfiling::instance();
    JNIEnv *env = edge.getJNIEnv();
    if (env != nullptr)
        LiveClassProfilingHelper::tagUntaggedClasses(session, env);
    SessionLock lock(session, IM_CLASS | IM_HEAP);
    resetHeapItemClasses(SET_TOTAL);
    iterateHeap(0, countHeapObject, this);
}

bool LiveHeapSession::matches(const Selection &selection, long long id, const HeapAllocItem *item) const
{
    int type = HeapItemIds::isArrayId(id) ? ClassData::getArrayTypeFromClassData(item->classData) : 2;
    return matchesLiveOnly(*selection.types, *selection.classes, *selection.prefix, type, item->classData);
}

void LiveHeapSession::addLiveOnly(long long id, HeapAllocItem *item)
{
    long long size = HeapItemIds::isArrayId(id) ? HeapItemIds::getArraySize(id, item)
                                                : (item->classData != nullptr ? item->classData->getInstanceSize() : 0);
    updateAllocationTree(item->node, size, liveCopy, false, &pool);
}

jint JNICALL addLiveOnlyObject(jlong, jlong, jlong *tag, jint, void *userData)
{
    LiveHeapSession::Selection *selection = static_cast<LiveHeapSession::Selection *>(userData);
    HeapAllocItem *item = selection->heap->getIds().getAllocItem(*tag);
    if (item != nullptr && item->classData != nullptr && item->node != nullptr &&
        selection->heap->matches(*selection, *tag, item))
        selection->heap->addLiveOnly(*tag, item);
    return 0;
}

void LiveHeapSession::generateLiveOnlyAllocationTree(const std::vector<int> &types, const std::vector<ClassData *> &classes,
                                                     const std::string &prefix)
{
    Selection selection{this, &types, &classes, &prefix};
    SessionLock lock(session, IM_CLASS | IM_HEAP);
    iterateHeap(JVMTI_HEAP_FILTER_UNTAGGED, addLiveOnlyObject, &selection);
}

// One live recorded object of a snapshot's live-only data.
struct LiveOnlyRecord {
    const void *node;
    const void *classData;
    int type;
    long long size;
};

jint JNICALL collectLiveOnlyObject(jlong, jlong, jlong *tag, jint, void *userData)
{
    auto *out = static_cast<std::pair<HeapProfilingSession *, std::vector<LiveOnlyRecord> *> *>(userData);
    HeapAllocItem *item = out->first->getIds().getAllocItem(*tag);
    if (item == nullptr || item->classData == nullptr || item->node == nullptr)
        return 0;
    bool array = HeapItemIds::isArrayId(*tag);
    long long size = array ? HeapItemIds::getArraySize(*tag, item) : item->classData->getInstanceSize();
    out->second->push_back({item->node, item->classData, array ? ClassData::getArrayTypeFromClassData(item->classData) : 2, size});
    return 0;
}

void LiveHeapSession::writeATLOData(DataWriter *writer)
{
    // Only sessions that build live-object trees from the heap keep them:
    // per tagged live object its allocation node, class, type and size.
    if (session->getAllocTreeRecordingType() != 1) {
        writer->writeByte(0);
        return;
    }
    writer->writeByte(1);
    std::vector<LiveOnlyRecord> records;
    {
        SessionLock lock(session, IM_HEAP);
        std::pair<HeapProfilingSession *, std::vector<LiveOnlyRecord> *> into(this, &records);
        iterateHeap(JVMTI_HEAP_FILTER_UNTAGGED, collectLiveOnlyObject, &into);
    }
    for (const LiveOnlyRecord &r : records) {
        writer->writeByte(1);
        writer->writeID(r.node);
        writer->writeID(r.classData);
        writer->writeU2(r.type);
        // The wire keeps 32 bits: larger arrays say the most it can.
        writer->writeU4(r.size > 0xFFFFFFFFLL ? 0xFFFFFFFFu : static_cast<uint32_t>(r.size));
    }
    writer->writeByte(0);
}

// The Java side's switch of the allocation hooks: String.orvaneCallAgent
// (when the rewriting could add it) and InstrumentationCalleeSimple.recording.
void setJavaSwitch(JNIEnv *env, bool on)
{
    if (env == nullptr)
        return;
    struct Switch {
        const char *className;
        const char *field;
    } switches[] = {{"java/lang/String", "orvaneCallAgent"}, {"com/orvane/agent/InstrumentationCalleeSimple", "recording"}};
    for (const Switch &s : switches) {
        jclass klass = env->FindClass(s.className);
        if (klass == nullptr) {
            env->ExceptionClear();
            continue;
        }
        jfieldID field = env->GetStaticFieldID(klass, s.field, "Z");
        if (field == nullptr)
            env->ExceptionClear();
        else
            env->SetStaticBooleanField(klass, field, on ? JNI_TRUE : JNI_FALSE);
        env->DeleteLocalRef(klass);
    }
}

void reportNotInitialized()
{
    if (notInitializedReported.exchange(true))
        return;
    MessageUtil::message("The native library has not been initialized.");
    MessageUtil::message("Profiling commands will be ignored.");
    MessageUtil::message("Did you forget the -agentpath parameter?");
}

// Natives of the allocation hooks run agent code that may allocate Java
// objects itself; those are not recorded.
thread_local bool inAllocationHook = false;

void JNICALL rewriteObjectClass(jvmtiEnv *jvmti, JNIEnv *, jclass redefined, jobject, const char *name, jobject, jint length,
                                const unsigned char *bytes, jint *newLength, unsigned char **newBytes)
{
    if (redefined == nullptr || name == nullptr || strcmp(name, "java/lang/Object") != 0 || hookSession == nullptr)
        return;
    // The bytecode library's pools are guarded by the class lock.
    SessionLock lock(hookSession, IM_CLASS);
    std::vector<unsigned char> copy(bytes, bytes + length);
    Tessera::ClassFile *cf = Tessera::ClassFileReader::readFromByteArray(copy.data(), length, nullptr, true, true, nullptr);
    if (cf == nullptr || cf->hasError() || !ClassModifications::addObjectConstructor(cf, true)) {
        if (cf != nullptr)
            cf->freeInstance();
        MessageUtil::message("Allocations of plain objects cannot be recorded: java.lang.Object could not be rewritten.");
        return;
    }
    char *out = nullptr;
    int written = Tessera::ClassFileWriter::writeToByteArray(&out, cf);
    cf->freeInstance();
    unsigned char *vmBytes = nullptr;
    if (written > 0 && out != nullptr && jvmti->Allocate(written, &vmBytes) == JVMTI_ERROR_NONE) {
        memcpy(vmBytes, out, static_cast<size_t>(written));
        *newBytes = vmBytes;
        *newLength = written;
        objectRewritten.store(true);
    }
    delete[] out;
}

// Rewrites java.lang.Object once, so that its constructor reports every object.
// Counts as done only when the VM took the rewritten class: a failure is
// reported and the next start of recording tries again.
void installObjectHook(JNIEnv *env)
{
    if (objectHookEnv == nullptr || env == nullptr)
        return;
    objectHook.install([env]() {
        jclass object = env->FindClass("java/lang/Object");
        if (object == nullptr) {
            env->ExceptionClear();
            return static_cast<int>(JVMTI_ERROR_INVALID_CLASS);
        }
        objectRewritten.store(false);
        objectHookEnv->SetEventNotificationMode(JVMTI_ENABLE, JVMTI_EVENT_CLASS_FILE_LOAD_HOOK, nullptr);
        jvmtiError error = objectHookEnv->RetransformClasses(1, &object);
        objectHookEnv->SetEventNotificationMode(JVMTI_DISABLE, JVMTI_EVENT_CLASS_FILE_LOAD_HOOK, nullptr);
        env->DeleteLocalRef(object);
        if (error != JVMTI_ERROR_NONE)
            return static_cast<int>(error);
        return objectRewritten.load() ? 0 : -1;
    });
}

} // namespace

void LiveHeapProfilingHelper::init(LiveProfilingSession *session)
{
    if (liveHeap() != nullptr)
        return;
    session->getEdge().setHeapSession(std::unique_ptr<HeapProfilingSession>(new LiveHeapSession(session, &session->getClassSession())));
    hookSession = session;
    JavaVM *vm = session->getEdge().vm;
    jvmtiEnv *env = nullptr;
    if (vm == nullptr || vm->GetEnv(reinterpret_cast<void **>(&env), JVMTI_VERSION_1_1) != JNI_OK || env == nullptr)
        return;
    jvmtiCapabilities caps;
    memset(&caps, 0, sizeof caps);
    caps.can_retransform_classes = 1;
    jvmtiEventCallbacks callbacks;
    memset(&callbacks, 0, sizeof callbacks);
    callbacks.ClassFileLoadHook = rewriteObjectClass;
    if (env->AddCapabilities(&caps) != JVMTI_ERROR_NONE || env->SetEventCallbacks(&callbacks, sizeof callbacks) != JVMTI_ERROR_NONE) {
        MessageUtil::message("Allocations of plain objects cannot be recorded: the VM refuses to rewrite java.lang.Object.");
        env->DisposeEnvironment();
        return;
    }
    objectHookEnv = env;
}

HeapProfilingSession *LiveHeapProfilingHelper::getSession()
{
    return liveHeap();
}

long long LiveHeapProfilingHelper::getNewAllocItemId(ClassData *)
{
    long long id = unrecordedTagId.fetch_add(1);
    // The class registry is keyed by the low 32 bits: never hand out 0 there.
    if ((id & 0xFFFFFFFFLL) == 0)
        id = unrecordedTagId.fetch_add(1);
    return id;
}

long long LiveHeapProfilingHelper::recordObjectAlloc(JNIEnv *env, jobject object, long long size, int type, ClassData *classData)
{
    HeapProfilingSession *heap = liveHeap();
    if (heap == nullptr || !heap->isRecording() || object == nullptr || inAllocationHook)
        return 0;
    LiveThreadManager *thread = LiveCpuProfilingHelper::getCurrentThreadManager(env, false);
    // The agent's own threads (saving a snapshot, serving the front end) and
    // the threads it does not profile allocate nothing of the program's.
    if (thread != nullptr && thread->getIgnored())
        return 0;
    inAllocationHook = true;
    LiveProfiling &edge = LiveProfiling::instance();
    CallStackTree *node = nullptr;
    if (thread != nullptr)
        node = thread->getCurrentNode();
    // Every object of a class (not an array) has the size the VM gave the
    // first one recorded: no need to ask again.
    if (size == 0 && type < 3 && classData != nullptr)
        size = classData->getInstanceSize();
    if (size == 0) {
        jlong vmSize = 0;
        if (edge.jvmti->GetObjectSize(object, &vmSize) == JVMTI_ERROR_NONE)
            size = vmSize;
    }
    int32_t time = heap->isChrono() ? static_cast<int32_t>(Counter::getUsec() / 1000) : 0;
    ProfilingSession *session = edge.getSession();
    long long id = 0;
    {
        SessionLock lock(session, IM_CLASS | IM_HEAP);
        // A plain object reaches the agent once, from Object's constructor;
        // an array may come from a hook and from the VM's event (both on
        // this thread, one after the other).
        jlong tag = 0;
        if (type < 3 || (edge.jvmti->GetTag(object, &tag) == JVMTI_ERROR_NONE && tag == 0))
            id = heap->recordAllocation(node, size, type, classData, time);
    }
    inAllocationHook = false;
    return id;
}

void LiveHeapProfilingHelper::tagRecordedObject(jobject object, long long id)
{
    // Tagged outside the data locks: the object cannot go while this thread
    // holds it, so no free event can ask for the id before it is set, and the
    // VM's free events need not wait for the tag.
    HeapProfilingSession *heap = liveHeap();
    if (id != 0 && heap != nullptr && LiveProfiling::instance().jvmti->SetTag(object, id) != JVMTI_ERROR_NONE)
        heap->handleObjectFree(id);
}

void LiveHeapProfilingHelper::handleObjectAlloc(JNIEnv *env, jobject object, long long size, int type, ClassData *classData)
{
    tagRecordedObject(object, recordObjectAlloc(env, object, size, type, classData));
}

void LiveHeapProfilingHelper::setAllocRecord(bool on, bool reset, JNIEnv *env)
{
    HeapProfilingSession *heap = liveHeap();
    if (heap == nullptr)
        return;
    LiveProfiling &edge = LiveProfiling::instance();
    if (on)
        heap->setAllocRecord(true, reset);
    // Recorded objects that go while recording is off still leave the live
    // set and give their ids back: the free events stay on once enabled.
    if (on)
        edge.jvmti->SetEventNotificationMode(JVMTI_ENABLE, JVMTI_EVENT_OBJECT_FREE, nullptr);
    edge.jvmti->SetEventNotificationMode(on ? JVMTI_ENABLE : JVMTI_DISABLE, JVMTI_EVENT_VM_OBJECT_ALLOC, nullptr);
    setJavaSwitch(env, on);
    if (on)
        installObjectHook(env);
    if (!on)
        heap->setAllocRecord(false, false);
}

void LiveHeapProfilingHelper::handleCmdSetRecordAlloc(DataReader *reader, JNIEnv *env)
{
    bool on = reader->readByte(0) != 0;
    if (reader->getError())
        return;
    // The CPU session's tracking parameters follow: U4 n and n probe ids,
    // which go to the Java side. A request that ends after its switch (older
    // front ends) leaves the tracking as it was; a list cut short leaves the
    // recording as it was too.
    if (reader->available() > 0) {
        CpuProfilingSession *cpu = LiveCpuProfilingHelper::getSession();
        bool read = false;
        if (cpu != nullptr) {
            read = cpu->readTracking(reader);
        } else {
            uint32_t tracked = reader->readU4(0);
            for (uint32_t i = 0; i < tracked && !reader->getError(); i++)
                reader->readU4(0);
            read = !reader->getError();
        }
        if (!read) {
            MessageUtil::message("Allocation recording request with a cut list of tracked probes ignored.");
            return;
        }
    }
    setAllocRecord(on, true, env);
}

void JNICALL LiveHeapProfilingHelper::ovObjectFree(jvmtiEnv *, jlong tag)
{
    if (liveHeap() != nullptr)
        liveHeap()->handleObjectFree(tag);
}

void JNICALL LiveHeapProfilingHelper::ovVMObjectAlloc(jvmtiEnv *jvmti, JNIEnv *env, jthread, jobject object, jclass klass,
                                                      jlong size)
{
    LiveProfilingSession *session = LiveProfiling::instance().getSession();
    if (liveHeap() == nullptr || !liveHeap()->isRecording() || session == nullptr || !session->isRecordingArrayAllocs())
        return;
    jlong tag = 0;
    if (jvmti->GetTag(object, &tag) != JVMTI_ERROR_NONE || tag != 0)
        return;
    ClassData *classData = LiveClassProfilingHelper::getJvmtiClassData(klass, env, false, true);
    int type = ClassData::getArrayTypeFromClassData(classData);
    if (type < 3 || type > 11)
        return;
    LiveHeapProfilingHelper::handleObjectAlloc(env, object, size, type, isPrimitiveArrayType(type) ? nullptr : classData);
}

namespace {

// The VM's JNI functions as they were before the interception.
jniNativeInterface *originalFunctions = nullptr;

// An array native code made through JNI: recorded as the VM's allocations are.
void recordJniArray(JNIEnv *env, jobject array)
{
    // Arrays the recording itself makes through JNI are not recorded.
    static thread_local bool recording = false;
    if (array == nullptr || liveHeap() == nullptr || !liveHeap()->isRecording() || inAllocationHook || recording)
        return;
    jclass klass = originalFunctions->GetObjectClass(env, array);
    if (klass == nullptr)
        return;
    recording = true;
    LiveHeapProfilingHelper::ovVMObjectAlloc(LiveProfiling::instance().jvmti, env, nullptr, array, klass, 0);
    recording = false;
    originalFunctions->DeleteLocalRef(env, klass);
}

template <typename Array, Array(JNICALL *JNINativeInterface_::*make)(JNIEnv *, jsize)>
Array JNICALL ovNewPrimitiveArray(JNIEnv *env, jsize length)
{
    Array array = (originalFunctions->*make)(env, length);
    recordJniArray(env, array);
    return array;
}

jobjectArray JNICALL ovNewObjectArray(JNIEnv *env, jsize length, jclass elementClass, jobject initial)
{
    jobjectArray array = originalFunctions->NewObjectArray(env, length, elementClass, initial);
    recordJniArray(env, array);
    return array;
}

} // namespace

void LiveHeapProfilingHelper::initJniInterception(jvmtiEnv *jvmti)
{
    if (originalFunctions != nullptr)
        return;
    jniNativeInterface *table = nullptr;
    if (jvmti->GetJNIFunctionTable(&originalFunctions) != JVMTI_ERROR_NONE || jvmti->GetJNIFunctionTable(&table) != JVMTI_ERROR_NONE) {
        MessageUtil::message("Could not intercept JNI allocations.");
        originalFunctions = nullptr;
        return;
    }
    using T = JNINativeInterface_;
    table->NewObjectArray = ovNewObjectArray;
    table->NewBooleanArray = ovNewPrimitiveArray<jbooleanArray, &T::NewBooleanArray>;
    table->NewByteArray = ovNewPrimitiveArray<jbyteArray, &T::NewByteArray>;
    table->NewCharArray = ovNewPrimitiveArray<jcharArray, &T::NewCharArray>;
    table->NewShortArray = ovNewPrimitiveArray<jshortArray, &T::NewShortArray>;
    table->NewIntArray = ovNewPrimitiveArray<jintArray, &T::NewIntArray>;
    table->NewLongArray = ovNewPrimitiveArray<jlongArray, &T::NewLongArray>;
    table->NewFloatArray = ovNewPrimitiveArray<jfloatArray, &T::NewFloatArray>;
    table->NewDoubleArray = ovNewPrimitiveArray<jdoubleArray, &T::NewDoubleArray>;
    if (jvmti->SetJNIFunctionTable(table) != JVMTI_ERROR_NONE)
        MessageUtil::message("Could not intercept JNI allocations.");
    jvmti->Deallocate(reinterpret_cast<unsigned char *>(table));
}

// Hooks of instrumented allocations (java.lang.Object's constructor and the
// array allocations of instrumented methods).
extern "C" JNIEXPORT void JNICALL Java_com_orvane_agent_InstrumentationCalleeSimple_registerAllocation0(JNIEnv *env, jclass,
                                                                                                      jobject object,
                                                                                                      jclass klass)
{
    if (liveHeap() == nullptr || !liveHeap()->isRecording() || inAllocationHook || klass == nullptr)
        return;
    LiveProfilingSession *session = LiveProfiling::instance().getSession();
    if (session == nullptr)
        return;
    long long id = 0;
    {
        // Both locks once for the class and the record: the enters below are
        // then only counted again. Nothing here runs Java code. The tag is
        // set after the locks are left.
        SessionLock lock(session, IM_CLASS | IM_HEAP);
        inAllocationHook = true;
        ClassData *classData = LiveClassProfilingHelper::getJvmtiClassData(klass, env, false, true);
        inAllocationHook = false;
        int type = ClassData::getArrayTypeFromClassData(classData);
        if (type >= 3 && type <= 11 && !session->isRecordingArrayAllocs())
            return;
        id = LiveHeapProfilingHelper::recordObjectAlloc(env, object, 0, type, isPrimitiveArrayType(type) ? nullptr : classData);
    }
    LiveHeapProfilingHelper::tagRecordedObject(object, id);
}

extern "C" JNIEXPORT void JNICALL Java_com_orvane_agent_ControllerImpl_startAllocRecording0(JNIEnv *env, jclass, jboolean reset)
{
    if (liveHeap() == nullptr) {
        reportNotInitialized();
        return;
    }
    LiveHeapProfilingHelper::setAllocRecord(true, reset != JNI_FALSE, env);
}

extern "C" JNIEXPORT void JNICALL Java_com_orvane_agent_ControllerImpl_stopAllocRecording0(JNIEnv *env, jclass)
{
    if (liveHeap() == nullptr) {
        reportNotInitialized();
        return;
    }
    LiveHeapProfilingHelper::setAllocRecord(false, false, env);
}

#include "EventHandler.h"

#include <cstring>
#include <string>

#include "Counter.h"
#include "LiveClassProfilingHelper.h"
#include "LiveCpuProfilingHelper.h"
#include "LiveHeapProfilingHelper.h"
#include "LiveProfiling.h"
#include "LiveProfilingSession.h"
#include "MessageUtil.h"

namespace {

const char *const NATIVE_METHOD_PREFIX = "__orvane_nmp_";
const char *const STARS = "*******************************************************************";

bool startsWith(const std::string &text, const char *prefix)
{
    return text.compare(0, strlen(prefix), prefix) == 0;
}

void createMonitor(LiveProfiling &edge, const char *name, jrawMonitorID *monitor)
{
    edge.checkFatalError("monitor", edge.jvmti->CreateRawMonitor(name, monitor));
}

bool addCapability(jvmtiEnv *jvmti, void (*set)(jvmtiCapabilities &))
{
    jvmtiCapabilities caps;
    memset(&caps, 0, sizeof caps);
    set(caps);
    return jvmti->AddCapabilities(&caps) == JVMTI_ERROR_NONE;
}

} // namespace

void EventHandler::init(LiveProfiling &edge, JNIEnv *env, bool switching)
{
    jvmtiEnv *jvmti = edge.jvmti;
    if (edge.threadMonitor == nullptr) {
        jvmti->RawMonitorEnter(edge.startupMonitor);
        createMonitor(edge, "_orvane_heap", &edge.heapMonitor);
        createMonitor(edge, "_orvane_class", &edge.classMonitor);
        createMonitor(edge, "_orvane_thread", &edge.threadMonitor);
        createMonitor(edge, "_orvane_sleep", &edge.sleepMonitor);
        createMonitor(edge, "_orvane_dead_threads", &edge.deadThreadsMonitor);
        createMonitor(edge, "_orvane_snapshot", &edge.snapshotMonitor);
        edge.monitors.setCreated();
        jvmti->RawMonitorExit(edge.startupMonitor);
    }
    std::string vmVersion = edge.getProperty("java.vm.version");
    if (startsWith(vmVersion, "1.5.0_01-") || startsWith(vmVersion, "1.5.0_02-") || startsWith(vmVersion, "1.5.0-")) {
        if (!edge.isJniInterception())
            MessageUtil::message("JNI allocation interception disabled. Fixed in JDK 1.5.0_03.");
    } else {
        edge.setJniInterception(true);
    }
    if (edge.isJniInterception())
        LiveHeapProfilingHelper::initJniInterception(edge.jvmti);
    edge.startTime = Counter::getUsec();
    if (!switching)
        edge.initCommunication(env);
}

bool EventHandler::enableEvents(LiveProfiling &edge, JNIEnv *, bool attach)
{
    jvmtiEnv *jvmti = edge.jvmti;
    jvmtiCapabilities caps;
    memset(&caps, 0, sizeof caps);
    jvmti->GetCapabilities(&caps);
    caps.can_tag_objects = 1;
    caps.can_get_monitor_info = 1;
    caps.can_get_line_numbers = 1;
    caps.can_generate_monitor_events = 1;
    caps.can_generate_vm_object_alloc_events = 1;
    caps.can_generate_native_method_bind_events = 1;
    caps.can_generate_object_free_events = 1;
    caps.can_get_current_thread_cpu_time = 1;
    caps.can_get_thread_cpu_time = 1;
    if (attach) {
        caps.can_get_bytecodes = 1;
        caps.can_get_constant_pool = 1;
    } else {
        caps.can_get_current_contended_monitor = 1;
    }
    jvmtiError error = jvmti->AddCapabilities(&caps);
    if (error != JVMTI_ERROR_NONE) {
        MessageUtil::message("%s", STARS);
        MessageUtil::message("ERROR: Could not get all profiling capabilities. (code: %d)", static_cast<int>(error));
        MessageUtil::message("Some profiling functionality won't work correctly.");
        MessageUtil::message("Please remove the gc vm options (-Xincgc, -XX:+UseConcMarkSweepGC).");
        MessageUtil::message("%s", STARS);
    }
    addCapability(jvmti, [](jvmtiCapabilities &c) { c.can_generate_all_class_hook_events = 1; });

    bool replaceNativeMethods = false;
    if (edge.isJvmti11()) {
        if (!edge.getSession()->getOptions().disableNativeInstrumentation &&
            addCapability(jvmti, [](jvmtiCapabilities &c) { c.can_set_native_method_prefix = 1; }) &&
            jvmti->SetNativeMethodPrefix(NATIVE_METHOD_PREFIX) == JVMTI_ERROR_NONE) {
            MessageUtil::message("Instrumenting native methods.");
            replaceNativeMethods = true;
        }
        if (!edge.isIbmVm() && addCapability(jvmti, [](jvmtiCapabilities &c) { c.can_retransform_classes = 1; })) {
            MessageUtil::message("Can retransform classes.");
            if (addCapability(jvmti, [](jvmtiCapabilities &c) { c.can_retransform_any_class = 1; }))
                MessageUtil::message("Can retransform any class.");
        }
    }

    // Every class that loads from now on passes through the class rewriting.
    LiveClassProfilingHelper::initInstrumentation(attach, replaceNativeMethods);

    jvmtiEventCallbacks callbacks;
    memset(&callbacks, 0, sizeof callbacks);
    callbacks.VMInit = ovVMInit;
    callbacks.VMDeath = ovVMDeath;
    callbacks.ClassFileLoadHook = LiveClassProfilingHelper::ovClassFileLoadHook;
    callbacks.ClassPrepare = LiveClassProfilingHelper::ovClassPrepare;
    callbacks.NativeMethodBind = LiveClassProfilingHelper::ovNativeMethodBind;
    callbacks.ThreadStart = LiveCpuProfilingHelper::ovThreadStart;
    callbacks.ThreadEnd = LiveCpuProfilingHelper::ovThreadEnd;
    callbacks.MonitorContendedEnter = LiveCpuProfilingHelper::ovMonitorContendedEnter;
    callbacks.MonitorContendedEntered = LiveCpuProfilingHelper::ovMonitorContendedEntered;
    callbacks.MonitorWait = LiveCpuProfilingHelper::ovMonitorWait;
    callbacks.MonitorWaited = LiveCpuProfilingHelper::ovMonitorWaited;
    callbacks.ObjectFree = LiveHeapProfilingHelper::ovObjectFree;
    callbacks.VMObjectAlloc = LiveHeapProfilingHelper::ovVMObjectAlloc;
    LiveProfilingSession *session = edge.getSession();
    session->enterMonitor(IM_CLASS);
    bool ok = jvmti->SetEventCallbacks(&callbacks, sizeof callbacks) == JVMTI_ERROR_NONE;
    if (ok && !attach)
        ok = jvmti->SetEventNotificationMode(JVMTI_ENABLE, JVMTI_EVENT_VM_INIT, nullptr) == JVMTI_ERROR_NONE;
    if (ok)
        ok = jvmti->SetEventNotificationMode(JVMTI_ENABLE, JVMTI_EVENT_VM_DEATH, nullptr) == JVMTI_ERROR_NONE;
    if (ok)
        ok = jvmti->SetEventNotificationMode(JVMTI_ENABLE, JVMTI_EVENT_CLASS_FILE_LOAD_HOOK, nullptr) == JVMTI_ERROR_NONE;
    if (ok)
        ok = jvmti->SetEventNotificationMode(JVMTI_ENABLE, JVMTI_EVENT_CLASS_PREPARE, nullptr) == JVMTI_ERROR_NONE;
    if (ok)
        ok = jvmti->SetEventNotificationMode(JVMTI_ENABLE, JVMTI_EVENT_THREAD_START, nullptr) == JVMTI_ERROR_NONE &&
             jvmti->SetEventNotificationMode(JVMTI_ENABLE, JVMTI_EVENT_THREAD_END, nullptr) == JVMTI_ERROR_NONE;
    if (ok && jvmti->SetEventNotificationMode(JVMTI_ENABLE, JVMTI_EVENT_NATIVE_METHOD_BIND, nullptr) != JVMTI_ERROR_NONE)
        MessageUtil::message("Could not enable native method bind events.");
    if (ok)
        LiveClassProfilingHelper::markEventsEnabled();
    session->exitMonitor(IM_CLASS, false);
    return ok;
}

void JNICALL EventHandler::ovVMInit(jvmtiEnv *, JNIEnv *env, jthread)
{
    LiveProfiling &edge = LiveProfiling::instance();
    MessageUtil::message("VM initialized");
    init(edge, env, false);
    std::string vendor = edge.getProperty("java.vm.vendor");
    std::string name = edge.getProperty("java.vm.name");
    if ((startsWith(vendor, "BEA") || startsWith(name, "Oracle JRockit")) && !edge.isJrockitVm()) {
        edge.setJrockitVm(true);
        MessageUtil::message("JRockit VM detected");
    }
    edge.lookupJavaClasses(env);
    LiveClassProfilingHelper::initStart(env);
    env->CallStaticVoidMethod(edge.agentClass, edge.agentInit);
    if (env->ExceptionCheck())
        env->ExceptionClear();
}

void JNICALL EventHandler::ovVMDeath(jvmtiEnv *, JNIEnv *)
{
    LiveProfiling &edge = LiveProfiling::instance();
    LiveProfilingSession *session = edge.getSession();
    if (session->getCommunicatorStatus() == Communicator::STATUS_CONNECTED) {
        edge.setWaitingForDisconnect(true);
        session->sleep(0);
    } else {
        session->stopWaitingForFrontend();
        edge.cleanup();
    }
    LiveCpuProfilingHelper::stopSampler();
}

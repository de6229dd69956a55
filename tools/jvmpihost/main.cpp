// jvmpihost plays a VM with the profiler interface for piagent: it loads the
// agent library, calls JVM_OnLoad with a JavaVM whose GetEnv hands out the
// interface, then plays the scripted events. Every interface call the agent
// makes is logged on stdout as "host: <call> <arguments>".
// This file reads the command line and starts the host; JvmpiHost.h names
// the rooms that do the rest (script, VM interface, real JVM, threads).
//
//   jvmpihost LIBRARY [--options TEXT] [--no-jvmpi] [--fail-enable EVENT]
//             [--fail-thread] [--no-heap-dump] [--class-events] --jvm CLASSPATH [--libjvm PATH]
//             [--jvm-option TEXT] [STEP...]
// The host first starts a real JVM (libjvm loaded at run time) with CLASSPATH,
// and every JNI function but the profiler interface's GetEnv reaches it: the
// host's main thread and each scripted thread are threads attached to that
// JVM, named by their real JNIEnv, and a scripted thread's events are
// delivered on that thread.
// Steps (numbers may be hex with 0x; N is a scripted thread, 1 to 63; event
// types, sizes, statuses and lines are at most 2147483647; a step
// with a number that is none, or a thread out of range, is refused with a
// line and fails the run):
//   init-done, shut-down                 JVM_INIT_DONE, JVM_SHUT_DOWN
//   event:TYPE                           an event of that type with no payload
//   raw-contend:NAME                     RAW_MONITOR_CONTENDED_ENTER on the agent's monitor NAME
//   raw-enter:N:NAME raw-entered:N:NAME  RAW_MONITOR_CONTENDED_ENTER/ENTERED of thread N on the
//                                        application's raw monitor NAME
//   thread:N:NAME[:GROUP]                THREAD_START of thread N
//   thread-end:N                         THREAD_END
//   class:ID:NAME[:METHOD/SIG=MID,...]   CLASS_LOAD; the class joins the host's model
//   quiet-class:ID:NAME[:...]            the class joins the model without an event
//   unload:ID                            CLASS_UNLOAD; the class leaves the host's model
//   enter:N:MID  enter2:N:MID:OBJ  exit:N:MID   method events
//   alloc:N:OBJ:CLASSID:SIZE[:ISARRAY]  free:OBJ  move:OLD:NEW   object events (a class
//                                        object that moves re-keys its class in the model)
//   contend:N:OBJ contended:N:OBJ wait:N:OBJ waited:N:OBJ         monitor events (thread N's
//                                        status follows: blocked, runnable, waiting, runnable)
//   status:N:VALUE  hasrun:N:0|1  stack:N:MID@LINE/...  (innermost first)
//   monitor:OBJ:OWNER:N/N...:N/N...     a monitor of the model's monitor dumps
//                                        (threads waiting to enter, to be notified)
//   heap-bytes:HEX  monitor-bytes:HEX    the next heap or monitor dump delivers exactly these
//                                        bytes (hex pairs) instead of the model's
//   sleep:MS (at most 600000)  await:FILE (waits for FILE to exist, at most 10 minutes)
//   mark:TEXT (logs it)
//   java-comm                            the agent's Java class starts its communication thread
//   java:N:CLASS:METHOD[:TEXT]           thread N calls the static void METHOD of CLASS (with
//                                        TEXT as its String argument): "host: java N CLASS.METHOD returned"
//   hook:IN:OUT                          CLASS_LOAD_HOOK with the class file IN; the class the
//                                        agent gives back goes to OUT ("host: hook same|new LENGTH";
//                                        "foreign" for new bytes not from the event's malloc_f)
//   main:IN:NAME[:ARG/ARG...]            the same hook with IN; then the real JVM defines the
//                                        class the agent gave back as NAME in the system class
//                                        loader and runs its main with the arguments
//   main-on:N:IN:NAME[:ARG/ARG...]       the same, with scripted thread N running main
//   run:NAME[:ARG/ARG...]                the real JVM loads NAME from its class path (with
//                                        --class-events the agent sees it load) and runs its main
// Before the host's own thread first runs a program's main (main, run), it is announced
// with THREAD_START under its Java name ("main"), as a VM announces its main thread.
// GetCallTrace gives a scripted thread its scripted stack, and the host's own thread (and
// the calling thread, when it is none of the scripted ones) its real stack in the JVM, with
// the lines of the frames (-1 where the JVM knows none). CreateSystemThread makes a daemon
// thread of the JVM with a JNIEnv, as a VM's system threads are its own.
// --class-events: the classes the real JVM loads from then on raise CLASS_LOAD_HOOK (the
// agent's bytes are what the JVM defines) and CLASS_LOAD, when the agent enabled them; the
// natives of the agent's hook class are bound to the agent library. --jvm-option TEXT
// passes an option to the real JVM (repeatable).
// A scripted event of a type the agent disabled again (after enabling it or
// not) is not delivered: "host: event TYPE disabled".
// RequestEvent 42 delivers the model's class at once as a requested event,
// 59 the model's monitor dump, 37 a heap dump of the model's classes and
// objects.
#include "JvmpiHost.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

HostOptions hostOptions;

namespace {

const char DEFAULT_LIBJVM[] = "/usr/lib/jvm/java-17-openjdk-amd64/lib/server/libjvm.so";

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: jvmpihost LIBRARY [--options TEXT] [--no-jvmpi] [--fail-enable EVENT] [--fail-thread] [--no-heap-dump] [--class-events] --jvm CLASSPATH [--libjvm PATH] [--jvm-option TEXT] [STEP...]\n");
        return 2;
    }
    std::string options;
    std::string classPath;
    std::string libjvm = DEFAULT_LIBJVM;
    std::vector<std::string> steps;
    for (int i = 2; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--options" && i + 1 < argc)
            options = argv[++i];
        else if (arg == "--no-jvmpi")
            hostOptions.noJvmpi = true;
        else if (arg == "--fail-enable" && i + 1 < argc)
            hostOptions.failEnable = atoi(argv[++i]);
        else if (arg == "--fail-thread")
            hostOptions.failThread = true;
        else if (arg == "--no-heap-dump")
            hostOptions.noHeapDump = true;
        else if (arg == "--jvm" && i + 1 < argc)
            classPath = argv[++i];
        else if (arg == "--libjvm" && i + 1 < argc)
            libjvm = argv[++i];
        else if (arg == "--jvm-option" && i + 1 < argc)
            hostOptions.jvmOptions.push_back(argv[++i]);
        else if (arg == "--class-events")
            hostOptions.classEvents = true;
        else
            steps.push_back(arg);
    }
    void *library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    realJvm.agentLibrary = library;
    char *resolved = realpath(argv[1], nullptr);
    realJvm.agentLibraryPath = resolved != nullptr ? resolved : argv[1];
    free(resolved);
    if (library == nullptr) {
        fprintf(stderr, "jvmpihost: %s\n", dlerror());
        return 2;
    }
    using OnLoad = jint (*)(JavaVM *, char *, void *);
    OnLoad onLoad = reinterpret_cast<OnLoad>(dlsym(library, "JVM_OnLoad"));
    if (onLoad == nullptr) {
        fprintf(stderr, "jvmpihost: no JVM_OnLoad in %s\n", argv[1]);
        return 2;
    }
    fillTable();
    if (classPath.empty()) {
        fprintf(stderr, "jvmpihost: --jvm CLASSPATH is required\n");
        return 2;
    }
    if (!startJvm(libjvm, classPath) || !startStacks())
        return 2;
    std::vector<char> optionText(options.begin(), options.end());
    optionText.push_back('\0');
    jint loaded = onLoad(agentJavaVm(), optionText.data(), nullptr);
    logCall("JVM_OnLoad returned %d", loaded);
    if (hostOptions.classEvents && !startClassEvents())
        return 2;
    // The agent's natives are bound as the VM binds those of a library it
    // loaded, when its Java classes are there.
    jclass agent = realJvm.mainEnv->FindClass("com/orvane/agent/Agent");
    if (agent == nullptr)
        realJvm.mainEnv->ExceptionClear();
    else if (agentClass(realJvm.mainEnv) == nullptr)
        return 2;
    for (const std::string &step : steps)
        if (!playStep(step))
            return 2;
    // A sampler pass in progress ends within its own time.
    for (int i = 0; i < 200 && gcDisabledCount() != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (gcDisabledCount() != 0) {
        fprintf(stderr, "jvmpihost: DisableGC and EnableGC unbalanced (%d)\n", gcDisabledCount());
        fflush(stdout);
        _exit(3);
    }
    // The agent's threads may still run: end without tearing down statics.
    fflush(stdout);
    fflush(stderr);
    _exit(0);
}

// Script reading in jvmpihost: a step's words (verb:ARG:ARG...) checked and
// turned into the host's model and the events the agent gets.
#include "JvmpiHost.h"

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <thread>
#include <unistd.h>

namespace {

// The longest sleep step (ms) and how often await looks for its file (every 10 ms: 10 minutes).
const uintptr_t MAX_SLEEP_MS = 600000;
const int AWAIT_POLLS = 60000;

std::vector<std::string> split(const std::string &text, char separator)
{
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t at = text.find(separator, start);
        parts.push_back(text.substr(start, at == std::string::npos ? std::string::npos : at - start));
        if (at == std::string::npos)
            return parts;
        start = at + 1;
    }
}

// A step's number that is not one: the step is refused before it plays.
struct BadNumber {
    std::string text;
};

// A whole non-negative number (hex with 0x); anything else refuses the step.
uintptr_t number(const std::string &text)
{
    char *end = nullptr;
    errno = 0;
    unsigned long long value = text.empty() || !isdigit(static_cast<unsigned char>(text[0])) ? 0 : strtoull(text.c_str(), &end, 0);
    if (end == nullptr || *end != '\0' || errno != 0 || value > UINTPTR_MAX)
        throw BadNumber{text};
    return static_cast<uintptr_t>(value);
}

// A number the VM hands over as a jint (event types, sizes, statuses):
// one past its range is refused as none is.
jint jintNumber(const std::string &text)
{
    uintptr_t value = number(text);
    if (value > static_cast<uintptr_t>(INT32_MAX))
        throw BadNumber{text};
    return static_cast<jint>(value);
}

template <class T> T *idOf(const std::string &text)
{
    return reinterpret_cast<T *>(number(text));
}

// Hex digit pairs as bytes; false for anything else.
bool hexBytes(const std::string &text, std::vector<char> *bytes)
{
    if (text.size() % 2 != 0)
        return false;
    for (size_t i = 0; i < text.size(); i += 2) {
        char pair[3] = {text[i], text[i + 1], '\0'};
        char *end = nullptr;
        long value = strtol(pair, &end, 16);
        if (end != pair + 2 || !isxdigit(static_cast<unsigned char>(pair[0])))
            return false;
        bytes->push_back(static_cast<char>(value));
    }
    return true;
}

// A thread number of a step; false (and a message) when out of range.
bool threadArg(const std::string &text, int *n)
{
    uintptr_t value = number(text);
    *n = value < static_cast<uintptr_t>(MAX_THREADS) ? static_cast<int>(value) : -1;
    if (*n < 1 || *n >= MAX_THREADS) {
        fprintf(stderr, "jvmpihost: thread %s out of range\n", text.c_str());
        return false;
    }
    return true;
}

// "NAME/SIG=MID,..." into the model class.
void addMethods(ModelClass *model, const std::string &list)
{
    for (const std::string &item : split(list, ',')) {
        size_t slash = item.find('/');
        size_t equals = item.find('=');
        if (item.empty() || slash == std::string::npos || equals == std::string::npos || equals < slash)
            continue;
        model->methods.push_back(ModelMethod{item.substr(0, slash), item.substr(slash + 1, equals - slash - 1),
                                             idOf<_jmethodID>(item.substr(equals + 1))});
    }
}

bool playStepChecked(const std::string &step)
{
    JVMPI_Event event;
    memset(&event, 0, sizeof event);
    std::vector<std::string> args = split(step, ':');
    const std::string &verb = args[0];
    int n = 0;
    if (step == "init-done") {
        post(JVMPI_EVENT_JVM_INIT_DONE, &event);
    } else if (step == "shut-down") {
        post(JVMPI_EVENT_JVM_SHUT_DOWN, &event);
    } else if (verb == "event" && args.size() == 2) {
        post(jintNumber(args[1]), &event);
    } else if (step.compare(0, 12, "raw-contend:") == 0) {
        std::string name = step.substr(12);
        HostMonitor *found = agentMonitor(name);
        event.u.raw_monitor.name = found != nullptr ? found->name.c_str() : name.c_str();
        event.u.raw_monitor.id = reinterpret_cast<JVMPI_RawMonitor>(found);
        post(JVMPI_EVENT_RAW_MONITOR_CONTENDED_ENTER, &event);
    } else if (verb == "thread" && args.size() >= 3 && threadArg(args[1], &n)) {
        std::string group = args.size() > 3 ? args[3] : "main";
        event.u.thread_start.thread_name = &args[2][0];
        event.u.thread_start.group_name = &group[0];
        event.u.thread_start.thread_env_id = threadEnv(n);
        post(JVMPI_EVENT_THREAD_START, &event, threadEnv(n));
    } else if (verb == "thread-end" && args.size() == 2 && threadArg(args[1], &n)) {
        post(JVMPI_EVENT_THREAD_END, &event, threadEnv(n));
    } else if ((verb == "class" || verb == "quiet-class") && args.size() >= 3) {
        ModelClass model;
        model.name = args[2];
        if (args.size() > 3)
            addMethods(&model, args[3]);
        uintptr_t classId = number(args[1]);
        {
            std::lock_guard<std::mutex> guard(hostModel.lock);
            for (const ModelMethod &method : model.methods)
                hostModel.methodClasses[reinterpret_cast<uintptr_t>(method.id)] = classId;
            hostModel.classes[classId] = model;
        }
        if (verb == "class")
            deliverClassLoad(classId, false);
    } else if (verb == "unload" && args.size() == 2) {
        uintptr_t classId = number(args[1]);
        event.u.class_unload.class_id = reinterpret_cast<jobjectID>(classId);
        {
            // The VM knows the class no more: requests and dumps leave it out.
            std::lock_guard<std::mutex> guard(hostModel.lock);
            hostModel.classes.erase(classId);
            for (auto method = hostModel.methodClasses.begin(); method != hostModel.methodClasses.end();)
                method = method->second == classId ? hostModel.methodClasses.erase(method) : std::next(method);
        }
        post(JVMPI_EVENT_CLASS_UNLOAD, &event);
    } else if ((verb == "enter" || verb == "exit") && args.size() == 3 && threadArg(args[1], &n)) {
        event.u.method.method_id = idOf<_jmethodID>(args[2]);
        post(verb == "enter" ? JVMPI_EVENT_METHOD_ENTRY : JVMPI_EVENT_METHOD_EXIT, &event, threadEnv(n));
    } else if (verb == "enter2" && args.size() == 4 && threadArg(args[1], &n)) {
        event.u.method_entry2.method_id = idOf<_jmethodID>(args[2]);
        event.u.method_entry2.obj_id = idOf<_jobjectID>(args[3]);
        post(JVMPI_EVENT_METHOD_ENTRY2, &event, threadEnv(n));
    } else if (verb == "alloc" && args.size() >= 5 && threadArg(args[1], &n)) {
        event.u.obj_alloc.obj_id = idOf<_jobjectID>(args[2]);
        event.u.obj_alloc.class_id = idOf<_jobjectID>(args[3]);
        event.u.obj_alloc.size = jintNumber(args[4]);
        event.u.obj_alloc.is_array = args.size() > 5 ? jintNumber(args[5]) : 0;
        {
            std::lock_guard<std::mutex> guard(hostModel.lock);
            hostModel.objects[number(args[2])] = ModelObject{number(args[3]), event.u.obj_alloc.size, event.u.obj_alloc.is_array};
        }
        post(JVMPI_EVENT_OBJECT_ALLOC, &event, threadEnv(n));
    } else if (verb == "free" && args.size() == 2) {
        event.u.obj_free.obj_id = idOf<_jobjectID>(args[1]);
        {
            std::lock_guard<std::mutex> guard(hostModel.lock);
            hostModel.objects.erase(number(args[1]));
        }
        post(JVMPI_EVENT_OBJECT_FREE, &event);
    } else if (verb == "move" && args.size() == 3) {
        event.u.obj_move.obj_id = idOf<_jobjectID>(args[1]);
        event.u.obj_move.new_obj_id = idOf<_jobjectID>(args[2]);
        {
            std::lock_guard<std::mutex> guard(hostModel.lock);
            uintptr_t from = number(args[1]), to = number(args[2]);
            auto found = hostModel.objects.find(from);
            if (found != hostModel.objects.end()) {
                ModelObject moved = found->second;
                hostModel.objects.erase(found);
                hostModel.objects[to] = moved;
            }
            // A class object that moves takes its class id along: its
            // methods, its instances and later requests name the new id.
            auto model = hostModel.classes.find(from);
            if (model != hostModel.classes.end()) {
                ModelClass moved = model->second;
                hostModel.classes.erase(model);
                hostModel.classes[to] = moved;
                for (auto &method : hostModel.methodClasses)
                    if (method.second == from)
                        method.second = to;
                for (auto &object : hostModel.objects)
                    if (object.second.classId == from)
                        object.second.classId = to;
            }
        }
        post(JVMPI_EVENT_OBJECT_MOVE, &event);
    } else if ((verb == "contend" || verb == "contended" || verb == "wait" || verb == "waited") && args.size() == 3 &&
               threadArg(args[1], &n)) {
        const jint types[] = {JVMPI_EVENT_MONITOR_CONTENDED_ENTER, JVMPI_EVENT_MONITOR_CONTENDED_ENTERED, JVMPI_EVENT_MONITOR_WAIT,
                              JVMPI_EVENT_MONITOR_WAITED};
        int kind = verb == "contend" ? 0 : verb == "contended" ? 1 : verb == "wait" ? 2 : 3;
        if (kind < 2)
            event.u.monitor.object = idOf<_jobjectID>(args[2]);
        else
            event.u.monitor_wait.object = idOf<_jobjectID>(args[2]);
        {
            // The thread's status follows: blocked while it contends, waiting
            // while it waits, runnable again after either.
            const jint statuses[] = {JVMPI_THREAD_MONITOR_WAIT, JVMPI_THREAD_RUNNABLE, JVMPI_THREAD_CONDVAR_WAIT, JVMPI_THREAD_RUNNABLE};
            std::lock_guard<std::mutex> guard(hostModel.lock);
            hostModel.threads[n].status = statuses[kind];
        }
        post(types[kind], &event, threadEnv(n));
    } else if ((verb == "raw-enter" || verb == "raw-entered") && args.size() == 3 && threadArg(args[1], &n)) {
        // An application's raw monitor NAME, made by the VM on first use.
        HostMonitor *monitor = applicationMonitor(args[2]);
        event.u.raw_monitor.name = monitor->name.c_str();
        event.u.raw_monitor.id = reinterpret_cast<JVMPI_RawMonitor>(monitor);
        {
            std::lock_guard<std::mutex> guard(hostModel.lock);
            hostModel.threads[n].status = verb == "raw-enter" ? JVMPI_THREAD_MONITOR_WAIT : JVMPI_THREAD_RUNNABLE;
        }
        post(verb == "raw-enter" ? JVMPI_EVENT_RAW_MONITOR_CONTENDED_ENTER : JVMPI_EVENT_RAW_MONITOR_CONTENDED_ENTERED, &event, threadEnv(n));
    } else if (verb == "status" && args.size() == 3 && threadArg(args[1], &n)) {
        std::lock_guard<std::mutex> guard(hostModel.lock);
        hostModel.threads[n].status = jintNumber(args[2]);
    } else if (verb == "hasrun" && args.size() == 3 && threadArg(args[1], &n)) {
        uintptr_t ran = number(args[2]);
        if (ran > 1)
            throw BadNumber{args[2]};
        std::lock_guard<std::mutex> guard(hostModel.lock);
        hostModel.threads[n].hasRun = ran != 0;
    } else if (verb == "stack" && args.size() >= 2 && threadArg(args[1], &n)) {
        std::vector<JVMPI_CallFrame> stack;
        if (args.size() > 2) {
            for (const std::string &frame : split(args[2], '/')) {
                size_t at = frame.find('@');
                stack.push_back(JVMPI_CallFrame{at == std::string::npos ? 0 : jintNumber(frame.substr(at + 1)),
                                                idOf<_jmethodID>(frame.substr(0, at))});
            }
        }
        std::lock_guard<std::mutex> guard(hostModel.lock);
        hostModel.threads[n].stack = stack;
    } else if (verb == "monitor" && args.size() >= 3) {
        ModelMonitor monitor;
        // Owner 0: nobody owns it.
        if (args[2] != "0" && !threadArg(args[2], &monitor.owner))
            return false;
        for (size_t i = 3; i < 5 && i < args.size(); i++)
            for (const std::string &t : split(args[i], '/')) {
                if (t.empty())
                    continue;
                if (!threadArg(t, &n))
                    return false;
                (i == 3 ? monitor.entering : monitor.notified).push_back(n);
            }
        std::lock_guard<std::mutex> guard(hostModel.lock);
        hostModel.monitors[number(args[1])] = monitor;
    } else if ((verb == "heap-bytes" || verb == "monitor-bytes") && args.size() == 2) {
        std::vector<char> bytes;
        if (!hexBytes(args[1], &bytes)) {
            fprintf(stderr, "jvmpihost: bad hex bytes \"%s\"\n", args[1].c_str());
            return false;
        }
        std::lock_guard<std::mutex> guard(hostModel.scriptedDumpLock);
        hostModel.scriptedDumps[verb == "heap-bytes" ? JVMPI_EVENT_HEAP_DUMP : JVMPI_EVENT_MONITOR_DUMP] = bytes;
    } else if (verb == "sleep" && args.size() == 2) {
        uintptr_t ms = number(args[1]);
        if (ms > MAX_SLEEP_MS) {
            fprintf(stderr, "jvmpihost: sleep of %s ms refused\n", args[1].c_str());
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    } else if (verb == "await" && args.size() == 2) {
        // Bounded: a test that never answers fails the run, long after any
        // test on a loaded machine would have answered.
        for (int i = 0; access(args[1].c_str(), F_OK) != 0; ++i) {
            if (i == AWAIT_POLLS) {
                fprintf(stderr, "jvmpihost: %s never appeared\n", args[1].c_str());
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    } else if (verb == "mark" && args.size() >= 2) {
        logCall("mark %s", step.substr(5).c_str());
    } else if (verb == "hook" && args.size() == 3) {
        std::vector<unsigned char> given;
        if (!hookClass(args[1], &given))
            return false;
        FILE *out = fopen(args[2].c_str(), "wb");
        if (out == nullptr || fwrite(given.data(), 1, given.size(), out) != given.size()) {
            fprintf(stderr, "jvmpihost: cannot write %s\n", args[2].c_str());
            if (out != nullptr)
                fclose(out);
            return false;
        }
        fclose(out);
    } else if (verb == "main" && (args.size() == 3 || args.size() == 4)) {
        std::vector<unsigned char> given;
        announceHostThread();
        if (!hookClass(args[1], &given))
            return false;
        return runMain(realJvm.mainEnv, args[2], given, args.size() == 4 ? split(args[3], '/') : std::vector<std::string>());
    } else if (verb == "main-on" && (args.size() == 4 || args.size() == 5) && threadArg(args[1], &n)) {
        std::vector<unsigned char> given;
        if (!hookClass(args[2], &given))
            return false;
        std::vector<std::string> arguments = args.size() == 5 ? split(args[4], '/') : std::vector<std::string>();
        bool ok = false;
        runOn(n, [&] { ok = runMain(threadEnv(n), args[3], given, arguments); });
        return ok;
    } else if (verb == "run" && (args.size() == 2 || args.size() == 3)) {
        return loadAndRunMain(args[1], args.size() == 3 ? split(args[2], '/') : std::vector<std::string>());
    } else if (step == "java-comm") {
        if (!startJavaCommunication())
            return false;
    } else if (verb == "java" && (args.size() == 4 || args.size() == 5) && threadArg(args[1], &n)) {
        return callJavaStatic(n, args[2], args[3], args.size() == 5 ? &args[4] : nullptr);
    } else {
        fprintf(stderr, "jvmpihost: unknown step \"%s\"\n", step.c_str());
        return false;
    }
    return true;
}

} // namespace

// One step of the script; false (with a line) for a step that cannot play.
bool playStep(const std::string &step)
{
    try {
        return playStepChecked(step);
    } catch (const BadNumber &bad) {
        fprintf(stderr, "jvmpihost: bad number \"%s\" in step \"%s\"\n", bad.text.c_str(), step.c_str());
        return false;
    }
}

#ifndef AGENT_JVMPI_H
#define AGENT_JVMPI_H

// The profiler interface of the VM, version 1, as piagent uses it: the
// function table, the event numbers and the event record. Threads are named
// by their JNIEnv*, objects, classes and monitors by object ids that change
// when the collector moves an object.

#include <jni.h>

#define JVMPI_VERSION_1 ((jint)0x10000001)

#define JVMPI_SUCCESS ((jint)0)
#define JVMPI_NOT_AVAILABLE ((jint)1)
#define JVMPI_FAIL ((jint)-1)

// Set in event_type when the agent asked for the event with RequestEvent.
#define JVMPI_REQUESTED_EVENT ((jint)0x10000000)

enum {
    JVMPI_EVENT_METHOD_ENTRY = 1,
    JVMPI_EVENT_METHOD_ENTRY2 = 2,
    JVMPI_EVENT_METHOD_EXIT = 3,
    JVMPI_EVENT_OBJECT_ALLOC = 4,
    JVMPI_EVENT_OBJECT_FREE = 5,
    JVMPI_EVENT_OBJECT_MOVE = 6,
    JVMPI_EVENT_THREAD_START = 33,
    JVMPI_EVENT_THREAD_END = 34,
    JVMPI_EVENT_CLASS_LOAD_HOOK = 35,
    JVMPI_EVENT_HEAP_DUMP = 37,
    JVMPI_EVENT_CLASS_LOAD = 42,
    JVMPI_EVENT_CLASS_UNLOAD = 43,
    JVMPI_EVENT_JVM_INIT_DONE = 46,
    JVMPI_EVENT_JVM_SHUT_DOWN = 47,
    JVMPI_EVENT_RAW_MONITOR_CONTENDED_ENTER = 51,
    JVMPI_EVENT_RAW_MONITOR_CONTENDED_ENTERED = 52,
    JVMPI_EVENT_MONITOR_CONTENDED_ENTER = 54,
    JVMPI_EVENT_MONITOR_CONTENDED_ENTERED = 55,
    JVMPI_EVENT_MONITOR_WAIT = 57,
    JVMPI_EVENT_MONITOR_WAITED = 58,
    JVMPI_EVENT_MONITOR_DUMP = 59,
};

// Thread status values of GetThreadStatus; the suspended bit may be or-ed in.
enum {
    JVMPI_THREAD_RUNNABLE = 1,
    JVMPI_THREAD_MONITOR_WAIT = 2,
    JVMPI_THREAD_CONDVAR_WAIT = 3,
    JVMPI_THREAD_SUSPENDED = 0x8000,
    JVMPI_THREAD_INTERRUPTED = 0x4000,
};

// Records of a monitor dump (MONITOR_DUMP, from begin to end), IDs in the
// width and byte order of a pointer, counts as U4 big-endian:
//   byte JVMPI_MONITOR_JAVA, ID object, ID owner's JNIEnv* (0: none),
//     U4 entry count, U4 n and n IDs of threads waiting to enter,
//     U4 m and m IDs of threads waiting to be notified;
//   byte JVMPI_MONITOR_RAW, ID name, ID raw monitor, then as above.
enum {
    JVMPI_MONITOR_JAVA = 0x01,
    JVMPI_MONITOR_RAW = 0x02,
};

// Record tags of a heap dump (HEAP_DUMP, from begin to end; dump level 1
// without primitive values, 2 with them). A GC root record is its kind's
// tag and the ID of the object, then by kind: JNI global the ID of its
// reference; JNI local and Java frame the thread's JNIEnv* and U4 frame
// depth; native stack and thread block the thread's JNIEnv*.
enum {
    JVMPI_GC_ROOT_UNKNOWN = 0xff,
    JVMPI_GC_ROOT_JNI_GLOBAL = 0x01,
    JVMPI_GC_ROOT_JNI_LOCAL = 0x02,
    JVMPI_GC_ROOT_JAVA_FRAME = 0x03,
    JVMPI_GC_ROOT_NATIVE_STACK = 0x04,
    JVMPI_GC_ROOT_STICKY_CLASS = 0x05,
    JVMPI_GC_ROOT_THREAD_BLOCK = 0x06,
    JVMPI_GC_ROOT_MONITOR_USED = 0x07,
    JVMPI_GC_CLASS_DUMP = 0x20,
    JVMPI_GC_INSTANCE_DUMP = 0x21,
    JVMPI_GC_OBJ_ARRAY_DUMP = 0x22,
    JVMPI_GC_PRIM_ARRAY_DUMP = 0x23,
};

// Object records (counts U4 big-endian, IDs pointer-wide in host order,
// primitive values in host order):
//   JVMPI_GC_CLASS_DUMP: ID class, ID super class, ID class loader, ID
//     signers, ID protection domain, ID class name, ID reserved, U4 instance
//     size, one ID per interface (as many as its class load announced), U2
//     constant-pool entries each U2 index, byte type and its value, then the
//     static field values in the order of the class load (at level 1 only
//     the reference fields).
//   JVMPI_GC_INSTANCE_DUMP: ID object, ID class, U4 n, n bytes: the instance
//     field values, the class's own fields first, then its super class's
//     (at level 1 only the reference fields).
//   JVMPI_GC_OBJ_ARRAY_DUMP: ID array, U4 count, ID element class, count IDs.
//   JVMPI_GC_PRIM_ARRAY_DUMP: ID array, U4 count, byte element type, then at
//     level 2 count elements.
#define JVMPI_DUMP_LEVEL_1 ((jint)1)
#define JVMPI_DUMP_LEVEL_2 ((jint)2)

// Value types of dump records and array elements.
enum {
    JVMPI_CLASS = 2,
    JVMPI_BOOLEAN = 4,
    JVMPI_CHAR = 5,
    JVMPI_FLOAT = 6,
    JVMPI_DOUBLE = 7,
    JVMPI_BYTE = 8,
    JVMPI_SHORT = 9,
    JVMPI_INT = 10,
    JVMPI_LONG = 11,
};

// The argument of RequestEvent for a heap dump.
struct JVMPI_HeapDumpArg {
    jint heap_dump_level;
};

struct _jobjectID;
typedef struct _jobjectID *jobjectID;
struct _JVMPI_RawMonitor;
typedef struct _JVMPI_RawMonitor *JVMPI_RawMonitor;

struct JVMPI_CallFrame {
    jint lineno;
    jmethodID method_id;
};

struct JVMPI_CallTrace {
    JNIEnv *env_id;
    jint num_frames;
    JVMPI_CallFrame *frames;
};

struct JVMPI_Method {
    char *method_name;
    char *method_signature;
    jint start_lineno;
    jint end_lineno;
    jmethodID method_id;
};

struct JVMPI_Field {
    char *field_name;
    char *field_signature;
};

struct JVMPI_Event {
    jint event_type;
    JNIEnv *env_id;
    union {
        struct {
            const char *class_name;
            char *source_name;
            jint num_interfaces;
            jint num_methods;
            JVMPI_Method *methods;
            jint num_static_fields;
            JVMPI_Field *statics;
            jint num_instance_fields;
            JVMPI_Field *instances;
            jobjectID class_id;
        } class_load;
        struct {
            unsigned char *class_data;
            jint class_data_len;
            unsigned char *new_class_data;
            jint new_class_data_len;
            void *(*malloc_f)(unsigned int);
        } class_load_hook;
        struct {
            jobjectID class_id;
        } class_unload;
        struct {
            jint arena_id;
            jobjectID class_id;
            jint is_array;
            jint size;
            jobjectID obj_id;
        } obj_alloc;
        struct {
            jobjectID obj_id;
        } obj_free;
        struct {
            jint arena_id;
            jobjectID obj_id;
            jint new_arena_id;
            jobjectID new_obj_id;
        } obj_move;
        struct {
            jmethodID method_id;
        } method;
        struct {
            jmethodID method_id;
            jobjectID obj_id;
        } method_entry2;
        struct {
            char *thread_name;
            char *group_name;
            char *parent_name;
            jobjectID thread_id;
            JNIEnv *thread_env_id;
        } thread_start;
        struct {
            jint dump_level;
            char *begin;
            char *end;
            jint num_traces;
            JVMPI_CallTrace *traces;
        } heap_dump;
        struct {
            char *begin;
            char *end;
            jint num_traces;
            JVMPI_CallTrace *traces;
            jint *threads_status;
        } monitor_dump;
        struct {
            const char *name;
            JVMPI_RawMonitor id;
        } raw_monitor;
        struct {
            jobjectID object;
        } monitor;
        struct {
            jobjectID object;
            jlong timeout;
        } monitor_wait;
    } u;
};

// The table the VM hands out for GetEnv(..., JVMPI_VERSION_1), in its
// published order. NotifyEvent is filled in by the agent.
struct JVMPI_Interface {
    jint version;
    void (*NotifyEvent)(JVMPI_Event *event);
    jint (*EnableEvent)(jint event_type, void *arg);
    jint (*DisableEvent)(jint event_type, void *arg);
    jint (*RequestEvent)(jint event_type, void *arg);
    void (*GetCallTrace)(JVMPI_CallTrace *trace, jint depth);
    void (*ProfilerExit)(jint);
    JVMPI_RawMonitor (*RawMonitorCreate)(char *lock_name);
    void (*RawMonitorEnter)(JVMPI_RawMonitor lock_id);
    void (*RawMonitorExit)(JVMPI_RawMonitor lock_id);
    void (*RawMonitorWait)(JVMPI_RawMonitor lock_id, jlong ms);
    void (*RawMonitorNotifyAll)(JVMPI_RawMonitor lock_id);
    void (*RawMonitorDestroy)(JVMPI_RawMonitor lock_id);
    jlong (*GetCurrentThreadCpuTime)(void);
    void (*SuspendThread)(JNIEnv *env);
    void (*ResumeThread)(JNIEnv *env);
    jint (*GetThreadStatus)(JNIEnv *env);
    jboolean (*ThreadHasRun)(JNIEnv *env);
    jint (*CreateSystemThread)(char *name, jint priority, void (*f)(void *));
    void (*SetThreadLocalStorage)(JNIEnv *env_id, void *ptr);
    void *(*GetThreadLocalStorage)(JNIEnv *env_id);
    void (*DisableGC)(void);
    void (*EnableGC)(void);
    void (*RunGC)(void);
    jobjectID (*GetThreadObject)(JNIEnv *env);
    jobjectID (*GetMethodClass)(jmethodID mid);
    jobject (*jobjectID2jobject)(jobjectID jid);
    jobjectID (*jobject2jobjectID)(jobject jobj);
    void (*SuspendThreadList)(jint reqCount, JNIEnv **reqList, jint *results);
    void (*ResumeThreadList)(jint reqCount, JNIEnv **reqList, jint *results);
};

#endif

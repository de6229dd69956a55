package com.orvane.agent;

import java.lang.management.ManagementFactory;
import java.lang.management.MemoryPoolMXBean;
import java.lang.management.MemoryUsage;
import java.lang.reflect.Method;

/** The Java half of the native agent: state the native side reads and switches it flips. */
public final class Agent {
    /** Identifies this VM to the front end; read by the native agent. */
    public static long vmIdentifier;

    private static volatile boolean initialized;
    private static volatile boolean allocRecording;
    private static volatile boolean cpuRecording;
    private static volatile boolean frontendConnected;

    private Agent() {
    }

    /** Called once by the native agent when the VM is initialised. */
    public static void init() {
        if (initialized) {
            return;
        }
        // Bound from here, a boot class, so the VM takes the agent's sleep for its own.
        bindNatives0();
        vmIdentifier = System.currentTimeMillis() ^ (System.nanoTime() << 17) ^ System.identityHashCode(Agent.class);
        initialized = true;
        startCommunicationThread();
        Sampler.start();
        // A configuration read at start-up may switch built-in probes on.
        com.orvane.agent.probe.AnnotationHandler.updateSwitches();
    }

    /** The agent's clock in microseconds. */
    public static native long getCounter();

    /** The port the agent serves front ends on; 0 without a live agent. */
    public static native int getPort();

    /** Sleeps the given milliseconds in native code. */
    public static native void runnableSleep(long millis);

    public static native boolean isJvmti11();

    /** Null without a script directory; else a byte (1: temporary) and the directory's name. */
    public static native byte[] getScriptDirName();

    public static native boolean isOffline();

    /** Whether a configuration was given at start-up. */
    public static native boolean hasConfig();

    /** The VM's start time becomes now. */
    public static native void updateVmStartTime0();

    /**
     * The session configuration: result[0] its file path as bytes, result[1] the XML text the front end sent
     * (null when read from a file or absent). Returns its id, 0 without one.
     */
    public static native int getConfig(Object[] result);

    /** The calling thread runs the application's main method; counts once per process. */
    public static native void agentMainThreadStarted();

    /** Appends bytes to the writer the agent lent under `handle`. */
    public static native void writeData(long handle, byte[] bytes, int offset, int length);
    private static volatile String mainClassName;

    /** Called first by the static initialiser of the profiled main class (piagent rewrites it). */
    public static void initFromMainClass(String className) {
        mainClassName = className;
    }

    /** Called first by the profiled main method (piagent); main goes on when it answers true. */
    public static boolean executeMain(Class<?> mainClass, String[] arguments) {
        try {
            agentMainThreadStarted();
        } catch (UnsatisfiedLinkError noAgent) {
            // The class runs without the agent: nothing records.
        }
        return mainClass != null;
    }

    /** The profiled main class as its static initialiser named it; null before. */
    public static String getMainClassName() {
        return mainClassName;
    }

    private static final Object trackingLock = new Object();
    private static int[] tracking = new int[0];
    private static final java.util.List<Integer> trackingSent = new java.util.ArrayList<Integer>();

    /**
     * The probe ids the front end tracks, one call per id as the native agent reads them from a
     * recording switch; -1 ends the list, which then replaces the one before.
     */
    public static void setTracking(int id) {
        synchronized (trackingLock) {
            if (id != -1) {
                trackingSent.add(Integer.valueOf(id));
                return;
            }
            int[] whole = new int[trackingSent.size()];
            for (int i = 0; i < whole.length; i++) {
                whole[i] = trackingSent.get(i).intValue();
            }
            trackingSent.clear();
            tracking = whole;
        }
    }

    /** The probe ids the front end tracks now, in the order it sent them; empty for none. */
    public static int[] getTracking() {
        synchronized (trackingLock) {
            return tracking.clone();
        }
    }

    /** A bookmark in the telemetry at the current time. */
    public static native void addBookmark(String text);

    /** The calling thread is about to start `thread`: the new thread records where it was made. */
    public static native void registerThreadStart(Thread thread);

    /** `thread` is now called `name`. */
    public static native void setThreadName(Thread thread, String name);

    /**
     * The calling thread counts as in `status` (1 runnable, 2 waiting, 3 blocked, 5 network I/O)
     * whatever the VM says, until the matching reset; calls nest.
     */
    public static native void setOverrideThreadStatus(int status);

    /** Ends the calling thread's innermost status override. */
    public static native void resetOverrideThreadStatus();

    /**
     * Probes methods for probe `id`: each row is {class or null, method name, descriptor}, with
     * its value (what the probe gets: -2 all arguments, -1 nothing, n the int parameter n) and flags.
     */
    public static native void registerAnnotationMethods(String[][] methods, int[] values, int[] flags, int id);

    /**
     * The calling thread's next method entry begins a run of an exceptional method: its runs are kept
     * apart by their time (only with dynamic instrumentation).
     */
    public static native void enterExceptionalMethod();

    private static boolean communicationThreadStarted;

    /**
     * Starts the Java thread that serves the front end when the native agent does not serve it
     * itself (the agent waits for no front end, or was attached); with a native communication
     * thread the call returns at once and the thread ends.
     */
    static synchronized void startCommunicationThread() {
        if (communicationThreadStarted) {
            return;
        }
        communicationThreadStarted = true;
        Thread thread = new Thread(new CommunicationThread(), "_orvane_java_comm");
        thread.setDaemon(true);
        thread.start();
    }

    /** The calling thread serves the front end's commands until the connection is over. */
    private static native void enterCommunication(Object communicator, int port);

    /**
     * The communication thread's body. A class, not a lambda: the first lambda of a VM starts
     * its method-handle machinery (some 50 classes and generated code, about 25 ms), which a
     * short program that uses none would pay at every start.
     */
    private static final class CommunicationThread implements Runnable {
        @Override
        public void run() {
            enterCommunication(null, 0);
        }
    }

    /** Switches allocation recording; returns the previous state. */
    public static synchronized boolean setAllocRecording(boolean enable, boolean reset) {
        boolean previous = allocRecording;
        allocRecording = enable;
        return previous;
    }

    /** Switches CPU recording; returns the previous state. */
    public static synchronized boolean setCpuRecording(boolean enable, boolean reset) {
        boolean previous = cpuRecording;
        cpuRecording = enable;
        return previous;
    }

    public static boolean isCallTreeRecording() {
        return cpuRecording;
    }

    /** The session configuration changed; Java-side settings are re-read. */
    public static void updateConfig() {
    }

    /** Bytes still free in the class-metadata pool, or -1 when the VM does not say. */
    public static long getAvailablePermGen() {
        for (MemoryPoolMXBean pool : ManagementFactory.getMemoryPoolMXBeans()) {
            String name = pool.getName();
            if (name.equals("Metaspace") || name.endsWith("Perm Gen")) {
                MemoryUsage usage = pool.getUsage();
                if (usage == null || usage.getMax() < 0) {
                    return -1;
                }
                return usage.getMax() - usage.getUsed();
            }
        }
        return -1;
    }

    /** Writes an HPROF heap dump; returns null on success, else the reason it failed. */
    public static String triggerHprofDump(String file, boolean liveOnly, boolean unused) {
        try {
            Class<?> type = Class.forName("com.sun.management.HotSpotDiagnosticMXBean");
            Object bean = ManagementFactory.newPlatformMXBeanProxy(ManagementFactory.getPlatformMBeanServer(),
                    "com.sun.management:type=HotSpotDiagnostic", type);
            Method dump = type.getMethod("dumpHeap", String.class, boolean.class);
            dump.invoke(bean, file, Boolean.valueOf(liveOnly));
            return null;
        } catch (Throwable t) {
            Throwable cause = t.getCause() != null ? t.getCause() : t;
            return String.valueOf(cause.getMessage());
        }
    }

    /** Records whether a front end is connected. */
    public static void registerConnectionAgentProperty(boolean connected) {
        frontendConnected = connected;
    }

    public static boolean isFrontendConnected() {
        return frontendConnected;
    }

    /** Rewrites the class again with the agent's current settings (classes loaded before a change). */
    public static native void retransform(Class<?> type);

    /** Lets the native agent wrap the VM's natives that it times (Thread's sleep). */
    private static native void bindNatives0();

    /** The class, by dotted name, is a component of that type for the front end. */
    public static native void registerComponentType(String className, int type);

    /** The class, by dotted name, is shown under another name; it becomes a component of that type. */
    public static native void registerDisplayName(String className, String displayName, int type);

    /** Annotation type names and the component types they stand for, in the order they are tested. */
    private static final String[] COMPONENT_ANNOTATIONS = {"javax.ejb.Stateful", "javax.ejb.Stateless",
            "javax.ejb.MessageDriven", "javax.persistence.Entity"};
    private static final int FIRST_ANNOTATED_COMPONENT_TYPE = 6;

    /**
     * The component type of a class loaded before the agent could look at its bytes: 6 stateful, 7
     * stateless, 8 message-driven bean, 9 entity, from its annotations; 0 for other classes, and when the
     * annotations cannot be read.
     */
    public static int checkAnnotatedComponent(Class<?> type) {
        if (type == null) {
            return 0;
        }
        try {
            java.lang.annotation.Annotation[] annotations = type.getDeclaredAnnotations();
            for (int i = 0; i < COMPONENT_ANNOTATIONS.length; i++) {
                for (java.lang.annotation.Annotation annotation : annotations) {
                    if (annotation.annotationType().getName().equals(COMPONENT_ANNOTATIONS[i])) {
                        return FIRST_ANNOTATED_COMPONENT_TYPE + i;
                    }
                }
            }
        } catch (Throwable unreadable) {
            // Annotations of classes whose annotation types are missing or broken: no component.
        }
        return 0;
    }
}

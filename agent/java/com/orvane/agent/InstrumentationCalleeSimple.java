package com.orvane.agent;

/**
 * Hooks placed in core classes (java.lang.Object's constructor, array allocations, class loaders). They
 * run while the VM loads and initialises classes, so they touch nothing but this class and the boot
 * class loader, allocate nothing on their common paths and never throw.
 */
public final class InstrumentationCalleeSimple {
    private static final String AGENT_PACKAGE = "com.orvane.agent.";

    private InstrumentationCalleeSimple() {
    }

    /** Set by the native agent while allocations are recorded. */
    public static volatile boolean recording;

    /** The body of java.lang.Object's constructor: the new object goes to the native agent while recording. */
    public static void registerAllocation(Object object) {
        if (recording && object != null) {
            registerAllocation0(object, object.getClass());
        }
    }

    /** After every array allocation of an instrumented method, the new array (the outer one). */
    public static void registerArrayAllocation(Object array, int dimensions) {
        if (recording && array != null) {
            registerAllocation0(array, array.getClass());
        }
    }

    private static native void registerAllocation0(Object object, Class<?> type);

    /**
     * At the start of loadClass of class loaders: the agent's own classes, which instrumented code
     * refers to, come from the loader that holds the agent's archive even when the class loader does not
     * delegate. True when the loader is to be bypassed and __orvane_loadClass will find the class.
     */
    public static boolean __orvane_useSystemClassLoader(Object loader, String name) {
        if (name == null || !name.startsWith(AGENT_PACKAGE)) {
            return false;
        }
        try {
            return findAgentClass(loader, name) != null;
        } catch (Throwable ignored) {
            return false;
        }
    }

    /** The agent's class of that name; only called after __orvane_useSystemClassLoader said yes. */
    public static Class<?> __orvane_loadClass(String name) {
        try {
            return findAgentClass(null, name);
        } catch (Throwable ignored) {
            return null;
        }
    }

    /**
     * The agent's class from the boot class path, else from the system class loader. Null when neither
     * has it, or when the system class loader would only ask `loader` again.
     */
    private static Class<?> findAgentClass(Object loader, String name) throws ClassNotFoundException {
        try {
            return Class.forName(name, false, null);
        } catch (ClassNotFoundException notOnBootPath) {
            ClassLoader system = ClassLoader.getSystemClassLoader();
            if (system == null || system == loader) {
                return null;
            }
            return Class.forName(name, false, system);
        }
    }
}

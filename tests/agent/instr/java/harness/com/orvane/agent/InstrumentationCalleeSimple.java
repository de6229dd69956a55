package com.orvane.agent;

// Stand-in for the agent's allocation and class-loading hooks.
public final class InstrumentationCalleeSimple {
    private InstrumentationCalleeSimple() {}

    public static void registerAllocation(Object o) {}

    public static void registerArrayAllocation(Object array, int dimensions) {
        InstrumentationCallee.arrayAllocation();
    }

    public static boolean __orvane_useSystemClassLoader(Object loader, String name) { return false; }

    public static Class<?> __orvane_loadClass(String name) { return null; }
}

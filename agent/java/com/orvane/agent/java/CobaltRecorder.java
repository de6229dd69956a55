package com.orvane.agent.java;

/**
 * Snapshots of the recorder: the CPU data, the classes and the Java part, without heap, allocation
 * tree, heap dump or telemetry sections, saved as a gzip file by the native agent.
 */
public final class CobaltRecorder {
    private CobaltRecorder() {
    }

    /**
     * Saves a recorder snapshot at the path (bytes of the file name); `javaArguments` go to the Java part.
     * Returns 1 when it was saved, 0 without a native session or when it failed.
     */
    public static native int createCobaltSnapshot(byte[] path, Object owner, boolean savePayloads, Object[] javaArguments);

    /**
     * Asks the static `policy(boolean annotationMethod, String name)` of `policyClass` for the policy of every
     * probe and class method; an answer's seven fields (int, boolean, int, boolean, int, boolean, int) become the
     * method's policy.
     */
    public static native void updatePolicies0(Class<?> policyClass, java.lang.reflect.Method policy,
            java.lang.reflect.Field limit1, java.lang.reflect.Field on1, java.lang.reflect.Field limit2,
            java.lang.reflect.Field on2, java.lang.reflect.Field limit3, java.lang.reflect.Field on3,
            java.lang.reflect.Field last);
}

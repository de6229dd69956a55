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
}

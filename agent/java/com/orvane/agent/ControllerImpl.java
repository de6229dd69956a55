package com.orvane.agent;

/** Switches of the native agent that a profiled application may use itself. */
public final class ControllerImpl {
    private ControllerImpl() {
    }

    private static native void startMonitorRecording0(int blockThreshold, int waitThreshold);

    private static native void stopMonitorRecording0();

    private static native void startCPURecording0(boolean reset);

    private static native void stopCPURecording0();

    private static native void startCallTracer0(int cap, boolean recordFiltered, boolean reset);

    private static native void stopCallTracer0();

    private static native void startMethodStatsRecording0();

    private static native void stopMethodStatsRecording0();

    private static native void triggerThreadDump0();

    private static native void startVMTelemetryRecording0();

    private static native void stopVMTelemetryRecording0();

    /** Starts recording VM telemetry; what was recorded before is cleared. */
    public static void startVMTelemetryRecording() {
        startVMTelemetryRecording0();
    }

    /** Stops recording VM telemetry. */
    public static void stopVMTelemetryRecording() {
        stopVMTelemetryRecording0();
    }

    private static native void startAllocRecording0(boolean reset);

    private static native void stopAllocRecording0();

    private static native void saveSnapshot0(byte[] path, Object caller, boolean flag);

    /** Starts recording allocations; with reset the data recorded so far are cleared. */
    public static void startAllocRecording(boolean reset) {
        startAllocRecording0(reset);
    }

    /** Stops recording allocations; what was recorded stays. */
    public static void stopAllocRecording() {
        stopAllocRecording0();
    }

    private static native void setInclusiveFilter0(String[] filters);

    /** Only the classes of these packages or classes (dotted names, prefixes) are profiled in detail. */
    public static void setInclusiveFilter(String[] filters) {
        setInclusiveFilter0(filters);
    }

    private static native void triggerHeapDump0(boolean option4, boolean option6, boolean primitiveValues,
            boolean option5);

    /**
     * Takes a heap dump that the next snapshot carries; with primitiveValues the values of
     * primitive fields and arrays are included.
     */
    public static void triggerHeapDump(boolean option4, boolean option6, boolean primitiveValues, boolean option5) {
        triggerHeapDump0(option4, option6, primitiveValues, option5);
    }

    /** Saves a snapshot of everything recorded to the file (gzip-compressed). */
    public static void saveSnapshot(String path) {
        saveSnapshot0(path.getBytes(java.nio.charset.StandardCharsets.UTF_8), null, false);
    }

    /**
     * Starts recording monitor events: blocked periods of at least blockThreshold and waits of at
     * least waitThreshold microseconds are kept.
     */
    public static void startMonitorRecording(int blockThreshold, int waitThreshold) {
        startMonitorRecording0(blockThreshold, waitThreshold);
    }

    /** Stops recording monitor events. */
    public static void stopMonitorRecording() {
        stopMonitorRecording0();
    }

    /** Starts recording call trees; with reset the trees recorded so far are cleared. */
    public static void startCPURecording(boolean reset) {
        startCPURecording0(reset);
    }

    /** Stops recording call trees; what was recorded stays. */
    public static void stopCPURecording() {
        stopCPURecording0();
    }

    /** Starts the call tracer: at most cap calls, filtered ones too when asked; reset starts a new list. */
    public static void startCallTracer(int cap, boolean recordFiltered, boolean reset) {
        startCallTracer0(cap, recordFiltered, reset);
    }

    /** Stops the call tracer. */
    public static void stopCallTracer() {
        stopCallTracer0();
    }

    /** Starts recording method statistics (invocation-time histograms). */
    public static void startMethodStatsRecording() {
        startMethodStatsRecording0();
    }

    /** Stops recording method statistics. */
    public static void stopMethodStatsRecording() {
        stopMethodStatsRecording0();
    }

    /** Takes a stack trace of every profiled thread now. */
    public static void triggerThreadDump() {
        triggerThreadDump0();
    }
}

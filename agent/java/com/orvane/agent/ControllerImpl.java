package com.orvane.agent;

/** Switches of the native agent that a profiled application may use itself. */
public final class ControllerImpl {
    private ControllerImpl() {
    }

    private static native void startMonitorRecording0(int blockThreshold, int waitThreshold);

    private static native void stopMonitorRecording0();

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
}

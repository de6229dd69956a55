package com.orvane.agent.probe;

/**
 * The Java side of the probes that the native agent asks for its front-end commands: the probe
 * recording settings the front end sends (commands 87 and 90), the probe descriptions (62) and
 * the probe telemetry (86); and the Java part of snapshots (their last section), which the native
 * agent starts before it takes its locks, lets save probe payloads between its sections and asks
 * for last. No probe payloads are kept on this side, so descriptions, telemetry and the snapshot
 * part are empty.
 */
public final class AnnotationHandler {
    private static final int SETTINGS_COMMAND = 87;
    private static byte[] settings;
    private static byte[] recording;
    private static volatile String saveFile;

    private AnnotationHandler() {
    }

    /** Command 87 carries the probe settings, 90 the probes to record. */
    public static synchronized void setProbeRecording(int command, byte[] bytes) {
        if (command == SETTINGS_COMMAND) {
            settings = bytes;
        } else {
            recording = bytes;
        }
    }

    /** The probes to record as the front end sent them, for snapshots; null when none were sent. */
    public static synchronized byte[] getProbeRecording() {
        return recording;
    }

    /** The probe descriptions; null while there are none. */
    public static byte[] getMetaData(JavaCollector collector, boolean all) {
        return null;
    }

    /** Writes the probe telemetry into the named file; false when there is none. */
    public static boolean getTelemetryData(JavaCollector collector, byte[] fileName) {
        return false;
    }

    /**
     * A probe call begins on the calling thread: the probe `name` is recorded under the method that
     * called it. Returns the handle for exitAnnotationMethod, 0 when nothing was recorded.
     */
    public static native long enterAnnotationMethod(String name, long thread, boolean nested);

    /** Stores `value` in the first four bytes of `bytes` in the host's byte order; returns 4 (0: too short). */
    public static native int getSnapshotId(byte[] bytes, int value);

    /** The probe call that enterAnnotationMethod began ends. */
    public static native void exitAnnotationMethod(long method, long thread);

    static synchronized byte[] getSettings() {
        return settings;
    }

    /** A snapshot starts; `fileName` names the file (UTF-8 bytes) the part would be written to. */
    public static void startSave(byte[] fileName, boolean recorder, String[] javaArguments) {
        saveFile = fileName == null ? null : new String(fileName, java.nio.charset.StandardCharsets.UTF_8);
    }

    /** Between the locked sections: payloads would be saved now. */
    public static void savePayloads(boolean savePayloads) {
    }

    /** True when the part was written to the file of startSave. */
    public static boolean finishSave() {
        saveFile = null;
        return false;
    }
}

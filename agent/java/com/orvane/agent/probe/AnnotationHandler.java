package com.orvane.agent.probe;

/**
 * The Java part of snapshots (their last section): the native agent starts it before it takes its
 * locks, lets it save probe payloads between its sections and asks for it last. This agent keeps
 * no probe payloads on the Java side, so the part it finishes is the empty one.
 */
public final class AnnotationHandler {
    private static volatile String saveFile;

    private AnnotationHandler() {
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

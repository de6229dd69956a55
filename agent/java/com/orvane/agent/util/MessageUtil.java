package com.orvane.agent.util;

/** The agent's debug file, written by the native library. */
public final class MessageUtil {
    private MessageUtil() {
    }

    /** Writes the text to the debug file as it is. */
    public static void debugOut(String text) {
        debugOut0(text);
    }

    private static native void debugOut0(String text);
}

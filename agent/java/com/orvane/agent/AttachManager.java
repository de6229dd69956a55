package com.orvane.agent;

/** Set up of the Java side when the agent is attached to a running VM. */
public final class AttachManager {
    private static volatile String libraryLocation;

    private AttachManager() {
    }

    /** Called by the native agent on attach with the option "loc=" (may be null). */
    public static void init(String location) {
        libraryLocation = location;
        Agent.startCommunicationThread();
    }

    public static String getLibraryLocation() {
        return libraryLocation;
    }
}

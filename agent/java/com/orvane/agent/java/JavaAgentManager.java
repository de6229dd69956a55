package com.orvane.agent.java;

/** The native library as the agent's Java side sees it. */
public final class JavaAgentManager {
    private JavaAgentManager() {
    }

    /** 0 inside a JVMTI agent, else the process id. */
    public static native int getPid();

    /**
     * Starts the recorder without a JVMTI agent: `options` as the agent path's option string,
     * `monitors` the four lock objects (heap, class, thread, dead threads).
     */
    public static native void init0(String options, Object[] monitors);
}

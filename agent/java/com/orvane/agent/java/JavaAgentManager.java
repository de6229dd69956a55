package com.orvane.agent.java;

/** The native library as the agent's Java side sees it. */
public final class JavaAgentManager {
    private JavaAgentManager() {
    }

    /** 0 inside a JVMTI agent, else the process id. */
    public static native int getPid();
}

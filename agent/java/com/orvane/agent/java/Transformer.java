package com.orvane.agent.java;

/** The agent's class-rewriting side as Java code sees it. */
public final class Transformer {
    private Transformer() {
    }

    /**
     * Rewrites a class as the agent's class-file hook would; `instrument` false treats the class as
     * filtered. Returns the new bytes, null when the class stays as it is. When the class is a component,
     * its kind is stored in out[0].
     */
    public static native byte[] transform0(String name, Object classBeingRedefined, byte[] bytes, boolean instrument, int[] out);

    /** Whether the session configuration lets the agent drop hooks from short, frequent methods. */
    public static native boolean isAutoTune();

    /** The names of the methods auto-tuning picked since the last call, null when none. */
    public static native String[] autoTune0();

    /** The hook id of the node that stands for the whole class, 0 when the class is unknown. */
    public static native int getMethodId0(String className);

    /** The name of the method with that hook id, or null. */
    public static native String getMethodName0(int methodId);
}

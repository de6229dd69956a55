package com.orvane.agent.java;

/** The agent's class-rewriting side as Java code sees it. */
public final class Transformer {
    private Transformer() {
    }

    /** The hook id of the node that stands for the whole class, 0 when the class is unknown. */
    public static native int getMethodId0(String className);

    /** The name of the method with that hook id, or null. */
    public static native String getMethodName0(int methodId);
}

package com.orvane.agent.java;

import com.orvane.agent.Agent;
import java.util.HashSet;
import java.util.Set;

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

    /**
     * Auto-tunes the instrumentation (the native side picks short methods called very often) and
     * retransforms the classes of the methods picked: the agent rewrites them without those methods'
     * hooks. A class neither the system class loader nor the boot class loader knows keeps its hooks
     * until it is rewritten for another reason; that is reported.
     */
    public static void autoTune() {
        String[] picked = autoTune0();
        if (picked == null) {
            return;
        }
        Set<String> done = new HashSet<String>();
        for (String method : picked) {
            int paren = method.indexOf('(');
            int dot = method.lastIndexOf('.', paren < 0 ? method.length() : paren);
            if (dot <= 0 || !done.add(method.substring(0, dot))) {
                continue;
            }
            String className = method.substring(0, dot);
            Class<?> type = loadedClass(className);
            if (type == null) {
                System.err.println("Orvane> Auto-tuning: class " + className + " not found, " + method + " keeps its hooks.");
            } else {
                Agent.retransform(type);
            }
        }
    }

    private static Class<?> loadedClass(String className) {
        try {
            return Class.forName(className, false, ClassLoader.getSystemClassLoader());
        } catch (Throwable notThere) {
            try {
                return Class.forName(className, false, null);
            } catch (Throwable notOnBootPath) {
                return null;
            }
        }
    }

    /** The names ("class.method(descriptor)") of the methods auto-tuning picked since the last call, null when none. */
    public static native String[] autoTune0();

    /** The hook id of the node that stands for the whole class, 0 when the class is unknown. */
    public static native int getMethodId0(String className);

    /** The name of the method with that hook id, or null. */
    public static native String getMethodName0(int methodId);
}

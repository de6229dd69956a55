package com.orvane.agent;

/** Static hooks that instrumented application code calls. */
public final class InstrumentationCallee {
    private InstrumentationCallee() {
    }

    /** Entry of a method that carries a probe annotation. */
    public static void __orvane_annotationEnterMethod(int methodId, Class<?> type, String className, String methodName,
            String signature, Object self, Object[] arguments) {
    }
}

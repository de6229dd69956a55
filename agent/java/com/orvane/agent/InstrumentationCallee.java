package com.orvane.agent;

/** Static hooks that instrumented application code calls. */
public final class InstrumentationCallee {
    private InstrumentationCallee() {
    }

    /** Entry of an instrumented method; returns the entry time in microseconds, 0 when not timed. */
    public static native long enterMethod(int methodId, short line, boolean keep, long threadHandle, boolean timed);

    /** Entry of a filtered method called from instrumented code. */
    public static native void enterFilteredMethod(int methodId, short line, long threadHandle);

    /** Normal end of an instrumented method. */
    public static native void exitMethod(int methodId, long threadHandle);

    /** End of a filtered method called from instrumented code. */
    public static native void exitFilteredMethod(int methodId, long threadHandle);

    /** An exception handler of the method runs: the methods it called have ended. */
    public static native void exceptionHandlerMethod(int methodId, long threadHandle);

    /** The line of the next call from instrumented code. */
    public static native void lineNumberHint(short line, long threadHandle);

    /** Entry of a method that carries a probe annotation. */
    public static void __orvane_annotationEnterMethod(int methodId, Class<?> type, String className, String methodName,
            String signature, Object self, Object[] arguments) {
    }
}

package com.orvane.agent.util;

/**
 * Boxes the primitive arguments and results that probed methods hand to their probes, for classes
 * rewritten by the profiler-interface agent.
 */
public final class PrimitiveWrapper {
    private PrimitiveWrapper() {
    }

    public static Byte __orvane_wrap(byte v) {
        return PrimitiveWrapper15.__orvane_wrap(v);
    }

    public static Character __orvane_wrap(char v) {
        return PrimitiveWrapper15.__orvane_wrap(v);
    }

    public static Double __orvane_wrap(double v) {
        return PrimitiveWrapper15.__orvane_wrap(v);
    }

    public static Float __orvane_wrap(float v) {
        return PrimitiveWrapper15.__orvane_wrap(v);
    }

    public static Integer __orvane_wrap(int v) {
        return PrimitiveWrapper15.__orvane_wrap(v);
    }

    public static Long __orvane_wrap(long v) {
        return PrimitiveWrapper15.__orvane_wrap(v);
    }

    public static Short __orvane_wrap(short v) {
        return PrimitiveWrapper15.__orvane_wrap(v);
    }

    public static Boolean __orvane_wrap(boolean v) {
        return PrimitiveWrapper15.__orvane_wrap(v);
    }
}

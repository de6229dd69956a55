package com.orvane.agent.util;

/** Boxes the primitive arguments and results that probed methods hand to their probes. */
public final class PrimitiveWrapper15 {
    private PrimitiveWrapper15() {
    }

    public static Byte __orvane_wrap(byte v) {
        return Byte.valueOf(v);
    }

    public static Character __orvane_wrap(char v) {
        return Character.valueOf(v);
    }

    public static Double __orvane_wrap(double v) {
        return Double.valueOf(v);
    }

    public static Float __orvane_wrap(float v) {
        return Float.valueOf(v);
    }

    public static Integer __orvane_wrap(int v) {
        return Integer.valueOf(v);
    }

    public static Long __orvane_wrap(long v) {
        return Long.valueOf(v);
    }

    public static Short __orvane_wrap(short v) {
        return Short.valueOf(v);
    }

    public static Boolean __orvane_wrap(boolean v) {
        return Boolean.valueOf(v);
    }
}

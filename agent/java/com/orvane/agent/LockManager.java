package com.orvane.agent;

/**
 * Hooks around sleeping and parking: the time a thread sleeps or is parked is waiting time, not CPU time,
 * in the call tree.
 */
public final class LockManager {
    private LockManager() {
    }

    /** Stands for Thread.sleep(long) in classes rewritten after the agent attached. */
    public static void __orvane_sleep(long millis) throws InterruptedException {
        InstrumentationCallee.__orvane_enterSleep();
        try {
            Thread.sleep(millis);
        } finally {
            InstrumentationCallee.__orvane_exitSleep();
        }
    }

    /** LockSupport parks the calling thread; the blocker may be null. */
    public static void __orvane_parkEnter(Object blocker) {
        InstrumentationCallee.__orvane_enterSleep();
    }

    /** The calling thread returns from LockSupport's park, on every path that entered it. */
    public static void __orvane_parkExit(Object blocker) {
        InstrumentationCallee.__orvane_exitSleep();
    }
}

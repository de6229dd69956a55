package com.orvane.agent;

// Stand-in for the agent's sleep and park hooks.
public final class LockManager {
    private LockManager() {}

    public static void __orvane_sleep(long ms) throws InterruptedException {
        InstrumentationCallee.slept();
        Thread.sleep(ms);
    }

    public static void __orvane_parkEnter(Object blocker) {}

    public static void __orvane_parkExit(Object blocker) {}
}

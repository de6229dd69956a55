package com.orvane.api.sampled;

/** A class in the agent's own packages: the agent counts it as its own. */
public final class Busy {
    private Busy() {
    }

    public static void spin(Runnable work) {
        for (int i = 0; i < 10; i++)
            work.run();
    }
}
